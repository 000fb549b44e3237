// SPDX-License-Identifier: MIT
// The modifiers of "-p", "-pbios" and "-pfpga", and the passes they add around the
// writing. None given: a programming command runs exactly as without this file.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

struct program_options_t {
    bool erase = false;     // "-erase": erase first unless the range already reads erased
    bool ifchanged = false; // "-ifchanged": write nothing when the device holds the image
    bool verify = false;    // "-verify": read back and compare after writing
    bool progress = false;  // "-progress"

    bool any() const { return erase || ifchanged || verify || progress; }
};

// What the device holds from offset 0 once a command has written its image: the bytes
// written and, for BIOS and FPGA, the erased bytes that the CRC covers.
struct target_image_t {
    std::vector<unsigned char> bytes;
    std::uint64_t written = 0; // bytes the command writes
};

// Built from the image files that the command has already checked; a file that fails
// to open or read now throws qv::exception_t.
target_image_t plain_target(const std::string& file);
target_image_t bios_target(const std::string& file, std::uint32_t crc);
target_image_t fpga_target(const std::list<std::string>& files, std::uint32_t crc);

enum class before_writing_t {
    write, // go on and write
    done,  // "-ifchanged": "device already holds this image" printed, status 0
};
// "-ifchanged" and "-erase": reads the target's range once, then erases when asked and
// needed. A failed read throws; a failed erase is worded "erase failed: <reason>"
// (command_failure_t), nothing written.
before_writing_t before_writing(const std::string& path, const target_image_t& target,
                                const program_options_t& options);

// "-verify": reads the range back; prints "verify OK", or fails worded with the first
// difference (command_failure_t). Without "-verify": nothing read.
void after_writing(const std::string& path, const target_image_t& target,
                   const program_options_t& options);
