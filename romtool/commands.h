// SPDX-License-Identifier: MIT
// The commands of romtool, one per option (command_table.cpp reads their arguments). Each
// opens and closes what it needs on its own and reports every failure by throwing:
// qv::exception_t for a fatal error, or command_failure_t (failure.h) for one it words itself.
#pragma once

#include "command.h"
#include "progress.h"

#include <list>
#include <memory>
#include <string>

// "-i": identity of the flash device at path.
void device_info(const std::string& path);
// "-r": the first count bytes in hexadecimal; count <= 0 prints nothing.
void dump_device(const std::string& path, int count);
// "-dump": the whole device into file; with progress, the device's size is asked first.
// Into standard output ("-" or a name of the same open file) it writes the device's bytes
// alone there, and its "N bytes written" line to standard error.
void dump_to_file(const std::string& path, const std::string& file,
                  progress_shown_t progress = progress_shown_t::no);
std::unique_ptr<command_t> dump_command(const invocation_t& run, const std::string& file);
// "-e": a failure is worded "erase failed: <reason>" (command_failure_t). With "-verify" the
// device is read back: "erase verify OK", or "erase verify failed at 0xN: device 0xBB".
void erase_device(const invocation_t& run);
// "-l": holds a handle for path forever; ends only by a signal. With "-json" it returns
// at ctrl-c, for main to print the object and then end by SIGINT as without.
void access_loop(const std::string& path);

// "-p" (the file unchanged), "-pbios" (the file with its CRC-32 at 0x40), "-pfpga" (the
// files back to back, CRC-32 at 0x7FFFC): the images are read whole when it is prepared.
// A failed writing pass is worded "program failed after <n> bytes were written: <reason>"
// (command_failure_t), as is a failure of a modifier's pass in its own words.
enum class image_layout_t { plain, bios, fpga };
std::unique_ptr<command_t> program_command(const invocation_t& run, image_layout_t layout,
                                           const std::list<std::string>& files);

// The environment commands work on the store of run.store, whatever "-dev" names; their keys
// and values are checked before anything is opened.
// "-set", "-get": one request each. "-unset": an existing key's value becomes empty.
std::unique_ptr<command_t> set_command(const invocation_t& run, const std::string& key,
                                       const std::string& value);
std::unique_ptr<command_t> get_command(const invocation_t& run, const std::string& key);
std::unique_ptr<command_t> unset_command(const invocation_t& run, const std::string& key);
// "-list": "key=value" lines in byte order of the keys. An entry whose line would not load
// back is left out and named on standard error, and the run fails (status 1).
std::unique_ptr<command_t> list_command(const invocation_t& run);
// "-load": makes the store hold exactly the "key=value" lines of file ("-": standard input),
// read and checked whole first. A driver failure after the first change is worded "load
// failed ..." (command_failure_t).
std::unique_ptr<command_t> load_command(const invocation_t& run, const std::string& file);
// The node of a store.
const char* env_store_node(zelk_env_store store);

enum class env_threads_t { readers, writers };
// "-rmt" / "-wmt": a count above 12 is refused, worded "<n> is too many ( > 12 ) "
// (command_failure_t), before anything starts.
void check_thread_count(unsigned int count);
// Runs count workers until SIGINT. A worker's failure, printed when it happened, fails the
// run afterwards (command_failure_t).
void env_thread_test(unsigned int count, env_threads_t kind);

enum class crc_layout_t { bios, fpga };
// "-crc": the CRC over the device's covered range against the stored one; prints both and
// "crc OK", or fails worded "crc mismatch" (command_failure_t).
void crc_command(const invocation_t& run, crc_layout_t layout);

// "-version", "--version": "romtool X.Y.Z".
void print_version();
