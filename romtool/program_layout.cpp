// SPDX-License-Identifier: MIT
#include "program_layout.h"

#include "image.h"
#include "util/crc32.h"

#include <algorithm>
#include <iterator>

std::size_t layout_t::end() const {
    std::size_t last = 0;
    for (const write_run_t& run : runs)
        last = std::max(last, run.end);
    return last;
}

layout_t plain_layout(std::vector<unsigned char> image) {
    layout_t layout;
    layout.image_size = image.size();
    layout.runs.push_back({0, image.size(), false});
    layout.bytes = std::move(image);
    return layout;
}

layout_t bios_layout(std::vector<unsigned char> image) {
    layout_t layout;
    const std::uint32_t length = static_cast<std::uint32_t>(image.size());
    layout.image_size = length;
    layout.short_word =
        length > image::bios_body_offset ? (length - image::bios_body_offset) % 4 : 0;
    image::bios_sums_t sums;
    sums.add(0, image.data(), length);
    sums.finish();
    layout.checksum = sums.checksum;
    layout.crc = static_cast<std::uint32_t>(sums.crc);

    // The file with the CRC in whatever part of its slot the file reaches (the slot's file
    // bytes never get there), then the erased rest of the region.
    unsigned char crc_bytes[4];
    image::put_be32(crc_bytes, *layout.crc);
    for (std::uint32_t at = image::bios_crc_offset; at < image::bios_body_offset && at < length;
         ++at)
        image[at] = crc_bytes[at - image::bios_crc_offset];
    image.resize(image::bios_region, image::erased_byte);
    layout.bytes = std::move(image);
    layout.runs.push_back({0, length, false});
    return layout;
}

layout_t fpga_layout(std::vector<unsigned char> image, const std::vector<std::size_t>& file_ends) {
    layout_t layout;
    const std::uint32_t length = static_cast<std::uint32_t>(image.size());
    layout.image_size = length;
    layout.crc = static_cast<std::uint32_t>(
        image::fpga_pad_crc(qv::util::crc32(0, image.data(), length), length));
    std::size_t start = 0;
    for (const std::size_t end : file_ends) {
        layout.runs.push_back({start, end, false});
        start = end;
    }
    image.resize(image::fpga_crc_offset, image::erased_byte);
    image.resize(image::fpga_crc_offset + 4);
    image::put_be32(image.data() + image::fpga_crc_offset, *layout.crc);
    layout.runs.push_back({image::fpga_crc_offset, image::fpga_crc_offset + 4, true});
    layout.bytes = std::move(image);
    return layout;
}

device_state_t compare_device(const layout_t& layout, const std::vector<unsigned char>& held) {
    device_state_t state;
    state.holds = held == layout.bytes;
    state.erased = std::all_of(held.begin(), held.end(),
                               [](unsigned char b) { return b == image::erased_byte; });
    for (std::size_t at = 0; at < held.size() && at < layout.bytes.size(); ++at) {
        const unsigned char wanted = layout.bytes[at];
        if ((held[at] & wanted) != wanted && !state.blocked_at)
            state.blocked_at = at;
        if (held[at] != wanted) {
            if (!state.first_difference)
                state.first_difference = at;
            state.last_difference = at;
        }
    }
    return state;
}
