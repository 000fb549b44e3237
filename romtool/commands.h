// The commands of romtool, one per option. Each opens and closes what it needs on its
// own and reports what it does not report itself by throwing qv::exception_t.
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
void dump_to_file(const std::string& path, const std::string& file, bool progress = false);
// "-e": reports its own failure in one line and returns false (main ends with 1).
[[nodiscard]] bool erase_device(const std::string& path);
// "-l": holds a handle for path forever; ends only by a signal.
[[noreturn]] void access_loop(const std::string& path);

// "-p": file written unchanged from offset 0. A failed copy is reported in one line
// and returns false (main ends with 1).
// Every programming command takes the modifiers of program_options.h and returns false
// when one of them failed (main ends with 1).
[[nodiscard]] bool program_device(const std::string& path, const std::string& file,
                                  const program_options_t& options);
// "-pbios": file written with its CRC-32 at offset 0x40.
[[nodiscard]] bool program_bios(const std::string& path, const std::string& file,
                                const program_options_t& options);
// "-pfpga": files concatenated, CRC-32 at offset 0x7FFFC. A failed writing pass is
// reported in one line and returns false (main ends with 1).
[[nodiscard]] bool program_fpga(const std::string& path, const std::list<std::string>& files,
                                const program_options_t& options);

// "-set" and "-get" always work on the environment flash, whatever path names.
void set_env_key(const std::string& path, const std::string& key, const std::string& value);
void get_env_key(const std::string& path, const std::string& key);

enum class env_threads_t { readers, writers };
// "-rmt" / "-wmt": reads its own thread count from args, runs the workers until SIGINT.
// Returns false when the count was refused (nothing started) or a worker reported a
// failure: main then ends with 1.
bool env_thread_test(args_t& args, env_threads_t kind);

enum class crc_layout_t { bios, fpga };
// "-crc": the CRC over the device's covered range against the stored one; prints both and
// "crc OK" (true) or "crc mismatch" (false).
[[nodiscard]] bool crc_command(const std::string& path, crc_layout_t layout);

// "-version", "--version": "romtool X.Y.Z".
void print_version();
