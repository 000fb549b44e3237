// SPDX-License-Identifier: MIT
#include "commands.h"

#include "image.h"
#include "posix/file.h"
#include "program_options.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace {

// Reads up to count bytes, fewer only at the end of the file.
size_t read_up_to(qv::posix::file_t& input, unsigned char* buffer, size_t count) {
    size_t done = 0;
    for (ssize_t got; done < count && (got = input.read(buffer + done, count - done)) != 0;)
        done += static_cast<size_t>(got);
    return done;
}

} // namespace

void program_bios(const std::string& path, const std::string& file,
                  const program_options_t& options) {
    qv::posix::file_t input(file, image::image_flags, qv::posix::sync_on_close::yes);
    image::open_file(input);

    // Checksum and CRC over the body, read as big-endian words, then over 0xFF words up
    // to the end of the region. The header is read too: its length counts.
    unsigned char header[image::bios_body_offset];
    std::uint32_t count = static_cast<std::uint32_t>(read_up_to(input, header, sizeof header));
    image::bios_sums_t sums;
    unsigned char word[4];
    for (;;) {
        const ssize_t got = count < image::bios_body_offset ? 0 : input.read(word, sizeof word);
        if (got == 0)
            break;
        // Refused before anything is printed or written: a longer image would run past
        // the region and its CRC would describe nothing on the device.
        if (got > static_cast<ssize_t>(image::bios_region - count))
            throw qv::exception_t("%s: BIOS image longer than 0x%x bytes", file.c_str(),
                                  static_cast<unsigned int>(image::bios_region));
        // The bytes missing from a short last word count as erased flash, which is what
        // the device holds there.
        if (got != sizeof word)
            std::cout << "warning: unexpected count " << std::dec << got << " read" << std::endl;
        sums.add(count, word, static_cast<size_t>(got));
        count += static_cast<std::uint32_t>(got);
    }
    const std::uint32_t length = count;
    sums.finish();
    input.seek(0, SEEK_SET);
    std::printf("checksum is 0x%lx\n", static_cast<unsigned long>(sums.checksum));
    std::printf("crc is 0x%lx\n", sums.crc);
    const target_image_t target =
        options.any() ? bios_target(file, static_cast<std::uint32_t>(sums.crc)) : target_image_t();
    if (before_writing(path, target, options) == before_writing_t::done)
        return;

    qv::zelk::driver_t device(path, O_RDWR);
    std::cout << "writing..." << std::endl;
    // The sums are taken again over the bytes as they are written: an image that changed
    // since (another process wrote or cut it) fails the run, and nothing is written past
    // the length that was summed.
    unsigned char crc_bytes[4];
    image::put_be32(crc_bytes, static_cast<std::uint32_t>(sums.crc));
    image::bios_sums_t written_sums;
    unsigned char buffer[image::chunk_size];
    std::uint32_t written = 0;
    const auto changed = [&] {
        return qv::exception_t("%s: changed while it was being programmed (%lu bytes written)",
                               file.c_str(), static_cast<unsigned long>(written));
    };
    progress_t progress(options.progress, "writing", target.written);
    for (;;) {
        const ssize_t got = input.read(buffer, sizeof buffer);
        if (got == 0)
            break;
        if (static_cast<std::uint32_t>(got) > length - written)
            throw changed();
        written_sums.add(written, buffer, static_cast<size_t>(got));
        // The slot's file bytes never reach the device: the CRC goes there.
        for (std::uint32_t at = written; at < written + got; ++at)
            if (at >= image::bios_crc_offset && at < image::bios_body_offset)
                buffer[at - written] = crc_bytes[at - image::bios_crc_offset];
        device.write(buffer, static_cast<size_t>(got));
        written += static_cast<std::uint32_t>(got);
        progress.advance(static_cast<std::uint64_t>(got));
    }
    written_sums.finish();
    if (written != length || written_sums.crc != sums.crc || written_sums.checksum != sums.checksum)
        throw changed();
    progress.finish();
    std::cout << "OK" << std::endl;
    after_writing(path, target, options);
}
