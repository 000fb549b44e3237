// SPDX-License-Identifier: MIT
#include "image.h"

#include "util/crc32.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <sys/stat.h>

namespace image {

std::string hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

void open_file(qv::posix::file_t& file) {
    try {
        file.open();
    } catch (const qv::posix::posix_exception_t& e) {
        throw qv::exception_t("Unable to open '%s': %s\n", file.name().c_str(), e.what());
    }
}

void read_file(qv::posix::file_t& file, size_t limit, std::vector<unsigned char>& bytes) {
    // A regular file's size is known: room for all of it and the read that finds its end,
    // so that the buffer is never moved. Anything else grows as it comes.
    constexpr size_t piece = 64 << 10;
    struct stat st;
    if (bytes.size() <= limit && ::fstat(file.fd(), &st) == 0 && S_ISREG(st.st_mode))
        bytes.reserve(bytes.size() +
                      std::min(static_cast<size_t>(std::max<off_t>(st.st_size, 0)),
                               limit + 1 - bytes.size()) +
                      1);
    while (bytes.size() <= limit) {
        const size_t done = bytes.size();
        const size_t room = bytes.capacity() - done;
        const size_t want = std::min({piece, room != 0 ? room : piece, limit + 1 - done});
        bytes.resize(done + want);
        const ssize_t got = file.read(bytes.data() + done, want);
        bytes.resize(done + static_cast<size_t>(got));
        if (got == 0)
            break;
    }
}

void append_image(const std::string& name, uint32_t limit, const char* kind,
                  std::vector<unsigned char>& bytes) {
    qv::posix::file_t input(name, image_flags, qv::posix::sync_on_close::yes);
    open_file(input);
    read_file(input, limit, bytes);
    if (bytes.size() > limit)
        throw qv::exception_t("%s: %s image longer than 0x%x bytes", name.c_str(), kind,
                              static_cast<unsigned int>(limit));
}

void bios_sums_t::add(std::uint32_t offset, const unsigned char* data, size_t length) {
    const size_t header =
        offset < bios_body_offset ? std::min<size_t>(length, bios_body_offset - offset) : 0;
    if (header == length)
        return;
    crc = qv::util::crc32(crc, data + header, static_cast<unsigned int>(length - header));
    offset += static_cast<std::uint32_t>(header);
    for (size_t i = header; i < length; ++i, ++offset)
        checksum += static_cast<std::uint32_t>(data[i]) << (8 * (3 - offset % 4));
    end_ = offset;
}

void bios_sums_t::finish() {
    unsigned char erased[64];
    std::fill(std::begin(erased), std::end(erased), erased_byte);
    while (end_ < bios_region)
        add(end_, erased, std::min<std::uint32_t>(sizeof erased, bios_region - end_));
}

unsigned long fpga_pad_crc(unsigned long crc, std::uint32_t length) {
    unsigned char erased[64];
    std::fill(std::begin(erased), std::end(erased), erased_byte);
    while (length < fpga_crc_offset) {
        const std::uint32_t piece =
            std::min<std::uint32_t>(sizeof erased, fpga_crc_offset - length);
        crc = qv::util::crc32(crc, erased, piece);
        length += piece;
    }
    return crc;
}

} // namespace image
