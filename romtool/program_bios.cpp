// SPDX-License-Identifier: MIT
#include "commands.h"

#include "device_io.h"
#include "image.h"
#include "posix/file.h"
#include "program_options.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

void program_bios(const std::string& path, const std::string& file,
                  const program_options_t& options) {
    target_image_t target;
    // Refused before anything is printed or written: a longer image would run past the
    // region and its CRC would describe nothing on the device.
    image::append_image(file, image::bios_region, "BIOS", target.bytes);
    const std::uint32_t length = static_cast<std::uint32_t>(target.bytes.size());

    // Checksum and CRC over the body, read as big-endian words, then over 0xFF words up
    // to the end of the region. The bytes missing from a short last word count as erased
    // flash, which is what the device holds there.
    const std::uint32_t short_word =
        length > image::bios_body_offset ? (length - image::bios_body_offset) % 4 : 0;
    if (short_word != 0)
        std::cout << "warning: unexpected count " << std::dec << short_word << " read" << std::endl;
    image::bios_sums_t sums;
    sums.add(0, target.bytes.data(), length);
    sums.finish();
    std::printf("checksum is 0x%lx\n", static_cast<unsigned long>(sums.checksum));
    std::printf("crc is 0x%lx\n", sums.crc);

    // On the device: the file with the CRC in whatever part of its slot the file reaches
    // (the slot's file bytes never get there), then the erased rest of the region.
    unsigned char crc_bytes[4];
    image::put_be32(crc_bytes, static_cast<std::uint32_t>(sums.crc));
    for (std::uint32_t at = image::bios_crc_offset; at < image::bios_body_offset && at < length;
         ++at)
        target.bytes[at] = crc_bytes[at - image::bios_crc_offset];
    target.bytes.resize(image::bios_region, 0xFF);
    target.written = target.end = length;
    if (before_writing(path, target, options) == before_writing_t::done)
        return;

    qv::zelk::driver_t device(path, O_RDWR);
    std::cout << "writing..." << std::endl;
    progress_t progress(options.progress, "writing", target.written);
    std::uint64_t written = 0;
    write_pieces(device, target.bytes.data(), length, progress, written);
    progress.finish();
    std::cout << "OK" << std::endl;
    after_writing(path, target, options);
}
