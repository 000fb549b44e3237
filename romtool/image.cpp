// SPDX-License-Identifier: MIT
#include "image.h"

#include "util/crc32.h"

#include <algorithm>
#include <sys/stat.h>

namespace image {

void open_file(qv::posix::file_t& file) {
    try {
        file.open();
    } catch (const qv::posix::posix_exception_t& e) {
        throw qv::exception_t("Unable to open '%s': %s\n", file.name().c_str(), e.what());
    }
    struct stat st;
    if (::fstat(file.fd(), &st) != 0 || !S_ISREG(st.st_mode))
        throw qv::exception_t("%s: not a regular file; an image is read twice and must be one",
                              file.name().c_str());
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
    static const unsigned char erased[chunk_size] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                     0xFF, 0xFF, 0xFF, 0xFF};
    while (end_ < bios_region)
        add(end_, erased, std::min<std::uint32_t>(sizeof erased, bios_region - end_));
}

unsigned long fpga_pad_crc(unsigned long crc, std::uint32_t length) {
    unsigned char erased[chunk_size];
    std::fill(std::begin(erased), std::end(erased), 0xFF);
    while (length < fpga_crc_offset) {
        const std::uint32_t piece =
            std::min<std::uint32_t>(sizeof erased, fpga_crc_offset - length);
        crc = qv::util::crc32(crc, erased, piece);
        length += piece;
    }
    return crc;
}

} // namespace image
