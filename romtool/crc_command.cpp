// SPDX-License-Identifier: MIT
// "-crc bios|fpga": the CRC of a programmed device against the one stored in it, which
// tells a good copy from one that a power cut or a bad write left behind.
#include "commands.h"

#include "failure.h"

#include "image.h"
#include "util/crc32.h"
#include "zelk/zelk_driver.h"

#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace {

struct layout_t {
    std::uint32_t covered_from; // the CRC covers [covered_from, covered_to)
    std::uint32_t covered_to;
    std::uint32_t stored_at;
};

// Reads [from, to) of device, at its current offset, into the CRC; the stored word is
// taken on the way when it lies inside.
void read_range(qv::zelk::driver_t& device, const std::string& path, std::uint32_t from,
                std::uint32_t to, unsigned long* crc, const layout_t& layout,
                unsigned char stored[4]) {
    unsigned char buffer[4096];
    for (std::uint32_t at = from; at < to;) {
        const size_t want = std::min<size_t>(sizeof buffer, to - at);
        const ssize_t got = device.read(buffer, want);
        if (got == 0)
            throw qv::exception_t("%s: the device ends at 0x%x", path.c_str(),
                                  static_cast<unsigned int>(at));
        for (ssize_t i = 0; i < got; ++i) {
            const std::uint32_t offset = at + static_cast<std::uint32_t>(i);
            if (offset >= layout.stored_at && offset < layout.stored_at + 4)
                stored[offset - layout.stored_at] = buffer[i];
        }
        if (crc && at >= layout.covered_from)
            *crc = qv::util::crc32(*crc, buffer, static_cast<unsigned int>(got));
        at += static_cast<std::uint32_t>(got);
    }
}

} // namespace

void crc_command(const std::string& path, crc_layout_t kind) {
    const layout_t layout =
        kind == crc_layout_t::bios
            ? layout_t{image::bios_body_offset, image::bios_region, image::bios_crc_offset}
            : layout_t{0, image::fpga_crc_offset, image::fpga_crc_offset};
    qv::zelk::driver_t device(path, O_RDONLY);
    unsigned long crc = 0;
    unsigned char stored[4] = {};
    // Read in order from 0: the part before the covered range (the BIOS header and slot),
    // the covered range, then what follows it (the FPGA's CRC word).
    read_range(device, path, 0, layout.covered_from, nullptr, layout, stored);
    read_range(device, path, layout.covered_from, layout.covered_to, &crc, layout, stored);
    if (layout.stored_at >= layout.covered_to)
        read_range(device, path, layout.covered_to, layout.stored_at + 4, nullptr, layout, stored);
    const unsigned long want = image::get_be32(stored);
    std::printf("crc is 0x%lx\n", crc);
    std::printf("stored crc is 0x%lx\n", want);
    std::fflush(stdout);
    if (crc != want)
        throw command_failure_t("crc mismatch");
    std::cout << "crc OK" << std::endl;
}
