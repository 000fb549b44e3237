#include "commands.h"

#include "image.h"
#include "posix/file.h"
#include "program_options.h"
#include "progress.h"
#include "util/crc32.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace {

// Reads the files in turn in pieces of at most 16 bytes; a piece never spans two
// files, so the last piece of each may be short.
template <typename Use> void for_each_piece(const std::list<std::string>& files, Use use) {
    unsigned char buffer[image::chunk_size];
    for (const std::string& name : files) {
        qv::posix::file_t input(name, O_RDONLY, true);
        image::open_file(input);
        for (ssize_t got; (got = input.read(buffer, sizeof buffer)) != 0;)
            use(name, buffer, static_cast<std::uint32_t>(got));
    }
}

// The CRC of the files back to back, padded with 0xFF up to the CRC's own place. Files
// that together reach past that place are refused before anything is written.
unsigned long image_crc(const std::list<std::string>& files) {
    unsigned long crc = 0;
    std::uint32_t total = 0;
    for_each_piece(
        files, [&](const std::string& name, const unsigned char* piece, std::uint32_t length) {
            if (length > image::fpga_crc_offset - total)
                throw qv::exception_t("%s: FPGA image longer than 0x%x bytes", name.c_str(),
                                      static_cast<unsigned int>(image::fpga_crc_offset));
            crc = crc32(crc, piece, length);
            total += length;
        });
    unsigned char erased[image::chunk_size];
    std::fill(std::begin(erased), std::end(erased), 0xFF);
    while (total != image::fpga_crc_offset) {
        const std::uint32_t piece =
            std::min<std::uint32_t>(sizeof erased, image::fpga_crc_offset - total);
        crc = crc32(crc, erased, piece);
        total += piece;
    }
    return crc;
}

} // namespace

bool program_fpga(const std::string& path, const std::list<std::string>& files,
                  const program_options_t& options) {
    qv::zelk::driver_t device(path, O_RDWR); // opened at the first write
    const unsigned long crc = image_crc(files);
    std::printf("crc is 0x%lx\n", crc);
    const target_image_t target =
        options.any() ? fpga_target(files, static_cast<std::uint32_t>(crc)) : target_image_t();
    if (const before_writing_t next = before_writing(path, target, options);
        next != before_writing_t::write)
        return next == before_writing_t::done;

    std::uint64_t total = 0;
    try {
        progress_t progress(options.progress, "writing", target.written);
        for_each_piece(files,
                       [&](const std::string&, const unsigned char* piece, std::uint32_t length) {
                           device.write(piece, length);
                           total += length;
                           progress.advance(length);
                       });
        unsigned char crc_bytes[4];
        image::put_be32(crc_bytes, static_cast<std::uint32_t>(crc));
        device.seek(image::fpga_crc_offset, SEEK_SET);
        device.write(crc_bytes, sizeof crc_bytes);
        progress.advance(sizeof crc_bytes);
    } catch (const qv::exception_t& e) {
        std::cout << "program failed after " << std::dec << total
                  << " bytes were written: " << e.what() << std::endl;
        return false;
    }
    std::cout << "programming successful" << std::endl;
    return after_writing(path, target, options);
}
