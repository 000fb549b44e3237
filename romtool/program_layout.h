// SPDX-License-Identifier: MIT
// What each programming command puts on the device, worked out from the image alone: the
// bytes the device reads afterwards, the runs of writes that put them there, and the sums
// the layout adds. Pure functions: no device, no output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

struct write_run_t {
    std::size_t start;
    std::size_t end;
    bool seek; // positioned at start first; otherwise it follows the run before it
};

struct layout_t {
    // The device from offset 0 as programming leaves it: the image, the CRC, and for BIOS
    // and FPGA the erased rest of the range the CRC covers.
    std::vector<unsigned char> bytes;
    // Written in this order, each run in the driver's pieces from its start.
    std::vector<write_run_t> runs;
    std::size_t image_size = 0; // the image's bytes among those written
    std::optional<std::uint32_t> checksum;
    std::optional<std::uint32_t> crc;
    std::uint32_t short_word = 0; // BIOS: bytes of a last body word cut short, 0: none

    std::size_t end() const; // after the last byte written
};

// "-p": the file unchanged from offset 0.
layout_t plain_layout(std::vector<unsigned char> image);
// "-pbios": the file from 0, its CRC slot at 0x40 (as far as the file reaches it) holding
// the big-endian CRC-32 of the body padded with 0xFF to 0x40000; the checksum sums the body
// as big-endian words, a short last word completed with erased bytes.
layout_t bios_layout(std::vector<unsigned char> image);
// "-pfpga": the files back to back from 0, one run each (no write crosses a file's end),
// then the big-endian CRC-32 of them padded with 0xFF, written at 0x7FFFC after a seek.
// file_ends: where each file ends in image.
layout_t fpga_layout(std::vector<unsigned char> image, const std::vector<std::size_t>& file_ends);

// What a device holds against a layout, from the range read back (held may be shorter: the
// differences are those on the device).
struct device_state_t {
    bool holds = false;                    // exactly the layout's bytes
    bool erased = false;                   // every byte held reads erased
    std::optional<std::size_t> blocked_at; // a 0 bit the layout needs back at 1 (programming
                                           // only clears bits): the first such byte
    std::optional<std::size_t> first_difference, last_difference;
};
device_state_t compare_device(const layout_t& layout, const std::vector<unsigned char>& held);
