// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"

#include "device_io.h"
#include "image.h"
#include "posix/file.h"
#include "program_options.h"
#include "progress.h"
#include "util/crc32.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <string>
#include <vector>

void program_fpga(const std::string& path, const std::list<std::string>& files,
                  const program_options_t& options) {
    qv::zelk::driver_t device(path, O_RDWR); // opened at the first write
    // The files back to back, each read once; ends: where each ends in the image, since
    // no write runs across the end of a file.
    target_image_t target;
    std::vector<size_t> ends;
    for (const std::string& name : files) {
        // Refused before anything is written, naming the file that passes the CRC's place.
        image::append_image(name, image::fpga_crc_offset, "FPGA", target.bytes);
        ends.push_back(target.bytes.size());
    }
    const std::uint32_t length = static_cast<std::uint32_t>(target.bytes.size());
    // The CRC of the files, padded with 0xFF up to the CRC's own place.
    const unsigned long crc =
        image::fpga_pad_crc(qv::util::crc32(0, target.bytes.data(), length), length);
    std::printf("crc is 0x%lx\n", crc);
    target.written = length + 4;
    target.bytes.resize(image::fpga_crc_offset, 0xFF);
    target.bytes.resize(image::fpga_crc_offset + 4);
    image::put_be32(target.bytes.data() + image::fpga_crc_offset, static_cast<std::uint32_t>(crc));
    target.end = target.bytes.size();
    if (before_writing(path, target, options) == before_writing_t::done)
        return;

    std::uint64_t total = 0; // the files' bytes written; the CRC is not counted
    try {
        progress_t progress(options.progress, "writing", target.written);
        size_t start = 0;
        for (const size_t end : ends) {
            write_pieces(device, target.bytes.data() + start, end - start, progress, total);
            start = end;
        }
        device.seek(image::fpga_crc_offset, SEEK_SET);
        device.write(target.bytes.data() + image::fpga_crc_offset, 4);
        progress.advance(4);
    } catch (const qv::exception_t& e) {
        throw command_failure_t("program failed after " + std::to_string(total) +
                                " bytes were written: " + e.what());
    }
    std::cout << "programming successful" << std::endl;
    after_writing(path, target, options);
}
