// SPDX-License-Identifier: MIT
// "-crc bios|fpga": the CRC of a programmed device against the one stored in it, which
// tells a good copy from one that a power cut or a bad write left behind.
#include "commands.h"

#include "failure.h"
#include "report.h"

#include "device_io.h"
#include "image.h"
#include "util/crc32.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <vector>

namespace {

struct crc_range_t {
    std::uint32_t covered_from; // the CRC covers [covered_from, covered_to)
    std::uint32_t covered_to;
    std::uint32_t stored_at;
};

} // namespace

void crc_command(const invocation_t& run, crc_layout_t kind) {
    const std::string& path = run.device;
    const crc_range_t layout =
        kind == crc_layout_t::bios
            ? crc_range_t{image::bios_body_offset, image::bios_region, image::bios_crc_offset}
            : crc_range_t{0, image::fpga_crc_offset, image::fpga_crc_offset};
    const size_t length = std::max(layout.covered_to, layout.stored_at + 4);
    qv::zelk::driver_t handle(path, O_RDONLY);
    std::vector<unsigned char> device;
    {
        progress_t progress(run.progress(), "reading", length);
        device = read_device(handle, length, progress);
    }
    if (device.size() < length)
        throw qv::exception_t("%s: the device ends at 0x%zx", path.c_str(), device.size());
    const std::uint32_t crc = static_cast<std::uint32_t>(qv::util::crc32(
        0, device.data() + layout.covered_from, layout.covered_to - layout.covered_from));
    const std::uint32_t want = image::get_be32(device.data() + layout.stored_at);
    report_t& report = report_t::run();
    report.set("crc", crc);
    report.set("stored", want);
    report.set("match", crc == want);
    std::cout << "crc is " << image::hex(crc) << "\nstored crc is " << image::hex(want)
              << std::endl;
    if (crc != want)
        throw command_failure_t("crc mismatch", error_kind_t::verify);
    std::cout << "crc OK" << std::endl;
}
