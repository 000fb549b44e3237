// SPDX-License-Identifier: MIT
// What the programming commands share: where things go on the device, big-endian
// words, and reading an image file once into memory.
#pragma once

#include "posix/file.h"
#include "zelk/zelk_ioctl.h"

#include <cstddef>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <vector>

namespace image {

constexpr unsigned char erased_byte = ZELK_ERASED_BYTE;

// Plain images: well above the largest device, so that "-p" needs no request to learn
// the device's size before it refuses an image.
constexpr size_t plain_limit = 16 << 20;

// BIOS: 64-byte header, CRC slot, body; sums cover the body padded with 0xFF to the region.
constexpr uint32_t bios_region = 0x40000;
constexpr uint32_t bios_crc_offset = 0x40;
constexpr uint32_t bios_body_offset = 0x44;

// FPGA: the files back to back from 0, padded with 0xFF up to the CRC, which ends 512 KiB.
constexpr uint32_t fpga_crc_offset = 0x7FFFC;

inline void put_be32(unsigned char* out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

// "0x" and lower-case hexadecimal without leading zeros, as the CRC and checksum lines show.
std::string hex(uint32_t value);

inline uint32_t get_be32(const unsigned char* in) {
    return static_cast<uint32_t>(in[0]) << 24 | static_cast<uint32_t>(in[1]) << 16 |
           static_cast<uint32_t>(in[2]) << 8 | static_cast<uint32_t>(in[3]);
}

// Opens file (already named and flagged) and turns a system failure into
// "Unable to open '<name>': <reason>\n". A file_t without a name fails as file_t does.
void open_file(qv::posix::file_t& file);

// Flags for opening an image. The open blocks as it does for any reader: a FIFO waits
// for its writer, whose data is then read to its end, instead of reading as empty.
constexpr int image_flags = O_RDONLY;

// Appends the rest of file (open) to bytes until it ends or bytes holds limit + 1 bytes:
// that one byte more tells the caller the image is too long, without reading all of a
// large one. Pipes, FIFOs and devices are read like regular files. Throws what
// file_t::read throws.
void read_file(qv::posix::file_t& file, size_t limit, std::vector<unsigned char>& bytes);

// Opens the image file name and appends it to bytes; refuses it, before anything is
// written, with "<name>: <kind> image longer than 0x<limit> bytes" when bytes would then
// hold more than limit.
void append_image(const std::string& name, uint32_t limit, const char* kind,
                  std::vector<unsigned char>& bytes);

// Checksum and CRC of a BIOS image, fed with its bytes at their file offsets in pieces
// of any size (the header's are passed over). finish() pads the body with 0xFF up to the
// region; a short last word is thereby completed with erased bytes.
class bios_sums_t {
public:
    void add(std::uint32_t offset, const unsigned char* data, size_t length);
    void finish();
    std::uint32_t checksum = 0;
    unsigned long crc = 0;

private:
    std::uint32_t end_ = bios_body_offset; // the offset after the last body byte added
};

// The FPGA CRC: the image, then 0xFF up to the CRC's own place.
unsigned long fpga_pad_crc(unsigned long crc, std::uint32_t length);

} // namespace image
