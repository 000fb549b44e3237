// SPDX-License-Identifier: MIT
// The commands of romtool, one per option. Each opens and closes what it needs on its
// own and reports every failure by throwing: qv::exception_t for a fatal error, or
// command_failure_t (failure.h) for one it words itself.
#pragma once

#include <list>
#include <string>

class args_t;
struct program_options_t;

// "-i": identity of the flash device at path.
void device_info(const std::string& path);
// "-r": the first count bytes in hexadecimal; count <= 0 prints nothing.
void dump_device(const std::string& path, int count);
// "-dump": the whole device into file; with progress, the device's size is asked first.
// Into standard output ("-" or a name of the same open file) it writes the device's bytes
// alone there, and its "N bytes written" line to standard error.
void dump_to_file(const std::string& path, const std::string& file, bool progress = false);
// Whether a dump into file lands on standard output.
bool names_standard_output(const std::string& file);
// "-e": a failure is worded "erase failed: <reason>" (command_failure_t).
void erase_device(const std::string& path);
// "-l": holds a handle for path forever; ends only by a signal.
[[noreturn]] void access_loop(const std::string& path);

// "-p": file written unchanged from offset 0. A failed copy is worded "program failed
// after <n> bytes were written: <reason>" (command_failure_t).
void program_device(const std::string& path, const std::string& file,
                    const program_options_t& options);
// Every programming command takes the modifiers of program_options.h; one that fails is
// worded by the modifier (command_failure_t).
// "-pbios": file written with its CRC-32 at offset 0x40.
void program_bios(const std::string& path, const std::string& file,
                  const program_options_t& options);
// "-pfpga": files concatenated, CRC-32 at offset 0x7FFFC. A failed writing pass is
// worded as in program_device.
void program_fpga(const std::string& path, const std::list<std::string>& files,
                  const program_options_t& options);

// The environment stores by env_t's selectors; "-nvram" picks the NVRAM for every
// environment command.
enum class env_store_t { flash = 0, nvram = 1 };
// The store's node: the one its commands open and lock.
const char* env_store_node(env_store_t store);

// "-set" and "-get" work on the environment flash (without "-nvram"), whatever "-dev" names.
void set_env_key(const std::string& key, const std::string& value,
                 env_store_t store = env_store_t::flash);
void get_env_key(const std::string& key, env_store_t store = env_store_t::flash);

// "-list": "key=value" lines in byte order of the keys; a failed read prints none of them.
void list_env(env_store_t store);
// "-unset": an existing key's value becomes empty; a missing key is left alone.
void unset_env_key(const std::string& key, env_store_t store);
// "-load": replaces the store with the "key=value" lines of file ("-": standard input).
// A file that cannot be opened or a bad text is a fatal error, nothing changed; a driver
// failure after that is worded "load failed when clearing the store: <reason>" or "load
// failed after <n> lines were stored: <reason>" (command_failure_t).
void load_env(const std::string& file, env_store_t store);

enum class env_threads_t { readers, writers };
// "-rmt" / "-wmt": reads its own thread count from args, runs the workers until SIGINT.
// A refused count (nothing started) is worded "<n> is too many ( > 12 ) "; a worker's
// failure, printed when it happened, fails the run afterwards (command_failure_t both).
void env_thread_test(args_t& args, env_threads_t kind);

enum class crc_layout_t { bios, fpga };
// "-crc": the CRC over the device's covered range against the stored one; prints both and
// "crc OK", or fails worded "crc mismatch" (command_failure_t).
void crc_command(const std::string& path, crc_layout_t layout);

// "-version", "--version": "romtool X.Y.Z".
void print_version();
