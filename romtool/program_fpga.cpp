// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"

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

namespace {

// Reads the files in turn in pieces of at most 16 bytes; a piece never spans two
// files, so the last piece of each may be short. done(name) follows each file's last.
template <typename Use, typename Done>
void for_each_piece(const std::list<std::string>& files, Use use, Done done) {
    unsigned char buffer[image::chunk_size];
    for (const std::string& name : files) {
        qv::posix::file_t input(name, image::image_flags, qv::posix::sync_on_close::yes);
        image::open_file(input);
        for (ssize_t got; (got = input.read(buffer, sizeof buffer)) != 0;)
            use(name, buffer, static_cast<std::uint32_t>(got));
        done(name);
    }
}

// The CRC of the files back to back, padded with 0xFF up to the CRC's own place. Files
// that together reach past that place are refused before anything is written. ends: where
// each file ends in the image, which the writing pass must find again.
unsigned long image_crc(const std::list<std::string>& files, std::vector<std::uint32_t>& ends) {
    unsigned long crc = 0;
    std::uint32_t total = 0;
    for_each_piece(
        files,
        [&](const std::string& name, const unsigned char* piece, std::uint32_t length) {
            if (length > image::fpga_crc_offset - total)
                throw qv::exception_t("%s: FPGA image longer than 0x%x bytes", name.c_str(),
                                      static_cast<unsigned int>(image::fpga_crc_offset));
            crc = qv::util::crc32(crc, piece, length);
            total += length;
        },
        [&](const std::string&) { ends.push_back(total); });
    return image::fpga_pad_crc(crc, total);
}

} // namespace

void program_fpga(const std::string& path, const std::list<std::string>& files,
                  const program_options_t& options) {
    qv::zelk::driver_t device(path, O_RDWR); // opened at the first write
    std::vector<std::uint32_t> ends;
    const unsigned long crc = image_crc(files, ends);
    std::printf("crc is 0x%lx\n", crc);
    const target_image_t target =
        options.any() ? fpga_target(files, static_cast<std::uint32_t>(crc)) : target_image_t();
    if (before_writing(path, target, options) == before_writing_t::done)
        return;

    // The files are summed again as they are written. One that changed since (it grew,
    // shrank or holds other bytes) fails the run before the CRC is written, and nothing
    // is written past the length that was summed.
    std::uint64_t total = 0;
    try {
        progress_t progress(options.progress, "writing", target.written);
        unsigned long written_crc = 0;
        auto end = ends.begin();
        const auto changed = [](const std::string& name) {
            return qv::exception_t("%s: changed while it was being programmed", name.c_str());
        };
        for_each_piece(
            files,
            [&](const std::string& name, const unsigned char* piece, std::uint32_t length) {
                if (total + length > *end)
                    throw changed(name);
                device.write(piece, length);
                written_crc = qv::util::crc32(written_crc, piece, length);
                total += length;
                progress.advance(length);
            },
            [&](const std::string& name) {
                if (total != *end++)
                    throw changed(name);
            });
        if (image::fpga_pad_crc(written_crc, static_cast<std::uint32_t>(total)) != crc)
            throw qv::exception_t("image changed while it was being programmed; its CRC is "
                                  "not written");
        unsigned char crc_bytes[4];
        image::put_be32(crc_bytes, static_cast<std::uint32_t>(crc));
        device.seek(image::fpga_crc_offset, SEEK_SET);
        device.write(crc_bytes, sizeof crc_bytes);
        progress.advance(sizeof crc_bytes);
    } catch (const qv::exception_t& e) {
        throw command_failure_t("program failed after " + std::to_string(total) +
                                " bytes were written: " + e.what());
    }
    std::cout << "programming successful" << std::endl;
    after_writing(path, target, options);
}
