// SPDX-License-Identifier: MIT
// Helpers shared by the fuzz targets: a scratch folder, virtual boards, file images
// and a reference CRC-32 that owes nothing to the product's table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace fuzz {

using bytes_t = std::vector<uint8_t>;

// Prints "fuzz: ..." to stderr and aborts, so libFuzzer keeps the input.
[[noreturn]] void fail(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Paths from the environment (set by scripts/fuzz.sh), else the build's own.
std::string romtool_path();
std::string preload_path();
std::string vboard_path();

// ROMTOOL_FUZZ_SCRATCH, else a fresh temporary folder removed at exit.
std::string scratch_dir();

// `vboard create dir`; aborts when it fails.
void create_board(const std::string& dir);

// For in-process targets: unless this process already runs on a board, makes one in
// the scratch folder and executes the program again with the preload library.
void run_on_board(char** argv);
// The board this process runs on (VBOARD_DIR).
std::string board_dir();

bytes_t read_file(const std::string& path);
void write_file(const std::string& path, const uint8_t* data, size_t size);
inline void write_file(const std::string& path, const bytes_t& data) {
    write_file(path, data.data(), data.size());
}
// Removes everything inside dir, not dir itself.
void empty_dir(const std::string& dir);

// Every regular file of a folder, to put back in place between inputs.
class snapshot_t {
public:
    explicit snapshot_t(const std::string& dir);
    void restore(const std::string& dir) const;

private:
    std::map<std::string, bytes_t> files;
};

// Bit by bit, reflected polynomial 0xEDB88320, initial and final inversion.
uint32_t reference_crc32(uint32_t crc, const uint8_t* data, size_t size);

} // namespace fuzz
