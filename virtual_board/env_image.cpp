// SPDX-License-Identifier: MIT
#undef _FILE_OFFSET_BITS
#undef _TIME_BITS
#include "env_image.h"

namespace vboard {

namespace {

constexpr size_t header_size = 4;

bool key_of(const std::string& entry, std::string& key) {
    size_t eq = entry.find('=');
    if (eq == std::string::npos)
        return false;
    key = entry.substr(0, eq);
    return true;
}

} // namespace

uint32_t crc32(uint32_t crc, const unsigned char* data, size_t size) {
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

env_image_t::env_image_t(const std::string& image) {
    size_t pos = header_size;
    while (pos < image.size()) {
        size_t end = image.find('\0', pos);
        if (end == std::string::npos || end == pos)
            break;
        entries_.push_back(image.substr(pos, end - pos));
        pos = end + 1;
    }
}

bool env_image_t::get(const std::string& key, std::string& value) const {
    bool found = false;
    std::string k;
    for (const std::string& entry : entries_) {
        if (key_of(entry, k) && k == key) {
            value = entry.substr(key.size() + 1);
            found = true;
        }
    }
    return found;
}

void env_image_t::set(const std::string& key, const std::string& value) {
    std::string entry = key + "=" + value;
    bool placed = false;
    std::vector<std::string> kept;
    std::string k;
    for (std::string& e : entries_) {
        if (key_of(e, k) && k == key) {
            if (!placed)
                kept.push_back(entry);
            placed = true;
        } else {
            kept.push_back(std::move(e));
        }
    }
    if (!placed)
        kept.push_back(entry);
    entries_ = std::move(kept);
}

bool env_image_t::build(size_t size, std::string& image) const {
    std::string body;
    for (const std::string& entry : entries_) {
        body += entry;
        body += '\0';
    }
    body += '\0';
    if (header_size + body.size() > size)
        return false;
    body.resize(size - header_size, '\xff');
    uint32_t crc = crc32(0, reinterpret_cast<const unsigned char*>(body.data()), body.size());
    image.clear();
    for (int shift = 24; shift >= 0; shift -= 8)
        image += static_cast<char>((crc >> shift) & 0xFF);
    image += body;
    return true;
}

} // namespace vboard
