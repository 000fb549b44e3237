// SPDX-License-Identifier: MIT
// The modifiers of "-p", "-pbios" and "-pfpga", and the passes they add around the
// writing. None given: a programming command runs exactly as without this file.
#pragma once

#include <cstddef>
#include <cstdint>
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
// written and, for BIOS and FPGA, the erased bytes and the CRC the layout adds. Built from
// the one read of the image; the sums, the writes and every comparison use these bytes.
struct target_image_t {
    std::vector<unsigned char> bytes;
    std::uint64_t written = 0; // bytes the command writes
    size_t end = 0;            // the offset after the last byte written
};

enum class before_writing_t {
    write, // go on and write
    done,  // "-ifchanged": "device already holds this image" printed, status 0
};
// "-ifchanged" and "-erase": reads the target's range once. A device that ends before
// target.end is refused before anything is erased or written ("<path>: the device ends at
// 0xN, before the image's end at 0xM", qv::exception_t). Then "-erase" erases when the
// range does not read erased; a failed erase is worded "erase failed: <reason>"
// (command_failure_t), nothing written. Without "-erase", a byte that needs a 0 bit set
// back to 1 is refused: "device is not erased at 0xN; add -erase" (command_failure_t).
// A failed read throws.
before_writing_t before_writing(const std::string& path, const target_image_t& target,
                                const program_options_t& options);

// "-verify": reads the range back; prints "verify OK", or fails worded with the first
// difference (command_failure_t). Without "-verify": nothing read.
void after_writing(const std::string& path, const target_image_t& target,
                   const program_options_t& options);
