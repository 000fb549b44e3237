#include "commands.h"

#include "image.h"
#include "posix/file.h"
#include "program_options.h"
#include "progress.h"
#include "util/crc32.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>

bool program_bios(const std::string& path, const std::string& file,
                  const program_options_t& options) {
    qv::posix::file_t input(file, O_RDONLY, true);
    image::open_file(input);

    // Checksum and CRC over the body, read as big-endian words, then over 0xFF words up
    // to the end of the region.
    std::uint32_t checksum = 0;
    unsigned long crc = 0;
    std::uint32_t count = image::bios_body_offset;
    input.seek(image::bios_body_offset, SEEK_SET);
    unsigned char word[4];
    for (;;) {
        const ssize_t got = input.read(word, sizeof word);
        if (got == 0)
            break;
        // Refused before anything is printed or written: a longer image would run past
        // the region and its CRC would describe nothing on the device.
        if (got > static_cast<ssize_t>(image::bios_region - count))
            throw qv::exception_t("%s: BIOS image longer than 0x%x bytes", file.c_str(),
                                  static_cast<unsigned int>(image::bios_region));
        if (got != sizeof word) {
            std::cout << "warning: unexpected count " << std::dec << got << " read" << std::endl;
            // The bytes missing from the last word read as erased flash, which is what
            // the device holds there; the word then counts whole.
            std::memset(word + got, 0xFF, sizeof word - static_cast<size_t>(got));
        }
        crc = crc32(crc, word, sizeof word);
        checksum += image::get_be32(word);
        count += sizeof word;
    }
    input.seek(0, SEEK_SET);
    static const unsigned char erased[4] = {0xFF, 0xFF, 0xFF, 0xFF};
    for (; count != image::bios_region; count += sizeof erased) {
        crc = crc32(crc, erased, sizeof erased);
        checksum += 0xFFFFFFFFu;
    }
    std::printf("checksum is 0x%lx\n", static_cast<unsigned long>(checksum));
    std::printf("crc is 0x%lx\n", crc);
    const target_image_t target =
        options.any() ? bios_target(file, static_cast<std::uint32_t>(crc)) : target_image_t();
    if (const before_writing_t next = before_writing(path, target, options);
        next != before_writing_t::write)
        return next == before_writing_t::done;

    qv::zelk::driver_t device(path, O_RDWR);
    std::cout << "writing..." << std::endl;
    unsigned char buffer[image::chunk_size];
    std::uint32_t written = 0;
    progress_t progress(options.progress, "writing", target.written);
    for (;;) {
        const ssize_t got = input.read(buffer, sizeof buffer);
        if (got == 0)
            break;
        // The slot's file bytes never reach the device: the CRC goes there.
        if (written == image::bios_crc_offset)
            image::put_be32(buffer, static_cast<std::uint32_t>(crc));
        device.write(buffer, static_cast<size_t>(got));
        written += static_cast<std::uint32_t>(got);
        progress.advance(static_cast<std::uint64_t>(got));
    }
    progress.finish();
    std::cout << "OK" << std::endl;
    return after_writing(path, target, options);
}
