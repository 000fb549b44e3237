// SPDX-License-Identifier: MIT
// The one reader and the one writer of a device's contents, for the programming commands,
// "-e -verify" and "-crc": reads in pieces of 4 KiB, writes in the driver's pieces.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class progress_t;
namespace qv::zelk {
class driver_t;
}

// Up to length bytes from the handle's offset, fewer when the device ends first; each piece
// advances progress. Throws what driver_t throws.
std::vector<unsigned char> read_device(qv::zelk::driver_t& device, std::size_t length,
                                       progress_t& progress);

// Reads from the handle's offset to the end of the device in pieces, handing each to
// piece(offset from the start, bytes, count); piece returns false to stop there.
void read_to_end(qv::zelk::driver_t& device, progress_t& progress,
                 const std::function<bool(std::size_t, const unsigned char*, std::size_t)>& piece);

// Writes length bytes at the handle's offset in pieces of at most ZELK_WRITE_MAX; once a
// piece is written, written(its offset in data, its length) and progress hear of it.
// Throws what driver_t throws.
void write_pieces(qv::zelk::driver_t& device, const unsigned char* data, std::size_t length,
                  progress_t& progress,
                  const std::function<void(std::size_t, std::size_t)>& written);
