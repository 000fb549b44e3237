// SPDX-License-Identifier: MIT
// CRC-32 as used in BIOS and FPGA images: the reflected polynomial 0xEDB88320,
// initial and final inversion (the same value zlib and PNG compute).
#pragma once

// crc is the result of the previous call, 0 to begin; calls over consecutive pieces
// give the CRC of the whole. A null buffer returns 0. Never throws.
namespace qv::util {
unsigned long crc32(unsigned long crc, const unsigned char* buffer, unsigned int length);
} // namespace qv::util
