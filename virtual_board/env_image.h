// SPDX-License-Identifier: MIT
// The stored environment image: 4 bytes (a big-endian CRC-32 of the rest of the
// device), then NUL-ended "key=value" entries, then an empty entry; the rest of
// the device stays erased. Reading the node returns exactly this image.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vboard {

uint32_t crc32(uint32_t crc, const unsigned char* data, size_t size);

class env_image_t {
public:
    // Reads the entries as a reader of the node does: from offset 4 up to the
    // first empty entry or the end of the device; an unterminated last entry
    // (an erased device is one) is dropped.
    explicit env_image_t(const std::string& image);

    // The last entry of the key wins, as for a reader of the image.
    bool get(const std::string& key, std::string& value) const;
    // Replaces the value in the key's first entry and drops later ones; a new
    // key goes to the end.
    void set(const std::string& key, const std::string& value);
    void clear() { entries_.clear(); }
    // The image for a device of `size` bytes; false when the entries do not fit.
    bool build(size_t size, std::string& image) const;

private:
    std::vector<std::string> entries_; // raw entries, "=" not required
};

} // namespace vboard
