// SPDX-License-Identifier: MIT
// The one reader and the one writer of a device's contents, for the programming commands
// and "-crc": reads go from offset 0 in pieces of 4 KiB, writes in the driver's pieces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class progress_t;
namespace qv::zelk {
class driver_t;
}

// Up to length bytes from offset 0, fewer when the device ends first, on a read-only
// handle opened and closed here; "<what>" progress when progress is set. Throws what
// driver_t throws.
std::vector<unsigned char> read_device(const std::string& path, size_t length, bool progress,
                                       const char* what);

// Writes length bytes at device's offset in pieces of at most image::chunk_size, adding
// each piece to written and to progress once it is written. Throws what driver_t throws.
void write_pieces(qv::zelk::driver_t& device, const unsigned char* data, size_t length,
                  progress_t& progress, std::uint64_t& written);
