// SPDX-License-Identifier: MIT
// The passes of "-erase", "-ifchanged" and "-verify": the device read in large pieces
// and compared with the image as the programming command lays it out.
#include "failure.h"
#include "program_options.h"

#include "image.h"
#include "posix/file.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace {

constexpr size_t read_piece = 4096;

// Appends the whole file to bytes.
void append_file(const std::string& name, std::vector<unsigned char>& bytes) {
    qv::posix::file_t input(name, image::image_flags, qv::posix::sync_on_close::no);
    image::open_file(input);
    unsigned char buffer[read_piece];
    for (ssize_t got; (got = input.read(buffer, sizeof buffer)) != 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
}

// Up to length bytes from offset 0; fewer when the device ends before.
std::vector<unsigned char> read_device(const std::string& path, size_t length,
                                       const program_options_t& options, const char* what) {
    qv::zelk::driver_t device(path, O_RDONLY);
    progress_t progress(options.progress, what, length);
    std::vector<unsigned char> bytes(length);
    size_t done = 0;
    while (done < length) {
        const ssize_t got = device.read(bytes.data() + done, std::min(read_piece, length - done));
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
        progress.advance(static_cast<std::uint64_t>(got));
    }
    bytes.resize(done);
    return bytes;
}

bool erased(const std::vector<unsigned char>& bytes, size_t length) {
    return bytes.size() == length &&
           std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0xFF; });
}

} // namespace

target_image_t plain_target(const std::string& file) {
    target_image_t target;
    append_file(file, target.bytes);
    target.written = target.bytes.size();
    return target;
}

target_image_t bios_target(const std::string& file, std::uint32_t crc) {
    target_image_t target;
    append_file(file, target.bytes);
    target.written = target.bytes.size();
    // The CRC replaces whatever part of its slot the file reaches; the rest of the region
    // stays erased.
    unsigned char slot[4];
    image::put_be32(slot, crc);
    for (size_t i = 0; i < sizeof slot && image::bios_crc_offset + i < target.bytes.size(); ++i)
        target.bytes[image::bios_crc_offset + i] = slot[i];
    target.bytes.resize(std::max<size_t>(target.bytes.size(), image::bios_region), 0xFF);
    return target;
}

target_image_t fpga_target(const std::list<std::string>& files, std::uint32_t crc) {
    target_image_t target;
    for (const std::string& file : files)
        append_file(file, target.bytes);
    target.written = target.bytes.size() + 4;
    target.bytes.resize(image::fpga_crc_offset, 0xFF);
    target.bytes.resize(image::fpga_crc_offset + 4);
    image::put_be32(target.bytes.data() + image::fpga_crc_offset, crc);
    return target;
}

before_writing_t before_writing(const std::string& path, const target_image_t& target,
                                const program_options_t& options) {
    if (!options.erase && !options.ifchanged)
        return before_writing_t::write;
    const size_t length = target.bytes.size();
    const std::vector<unsigned char> device = read_device(path, length, options, "checking");
    if (options.ifchanged && device == target.bytes) {
        std::cout << "device already holds this image" << std::endl;
        return before_writing_t::done;
    }
    // Programming only clears bits: the whole range the image describes, written bytes
    // and the erased rest under the CRC alike, must read erased before writing.
    if (!options.erase || erased(device, length))
        return before_writing_t::write;
    qv::zelk::driver_t eraser(path, O_RDWR);
    try {
        progress_t progress(options.progress, "erasing", length);
        eraser.ioctl(FLASH_IOC_ERASE);
        progress.advance(length);
    } catch (const qv::exception_t& e) {
        throw command_failure_t(std::string("erase failed: ") + e.what());
    }
    return before_writing_t::write;
}

void after_writing(const std::string& path, const target_image_t& target,
                   const program_options_t& options) {
    if (!options.verify)
        return;
    const std::vector<unsigned char>& image = target.bytes;
    const std::vector<unsigned char> device = read_device(path, image.size(), options, "verifying");
    const auto differ = std::mismatch(device.begin(), device.end(), image.begin());
    const size_t at = static_cast<size_t>(differ.first - device.begin());
    if (at < device.size()) {
        char line[80];
        std::snprintf(line, sizeof line, "verify failed at 0x%zx: device 0x%02x, image 0x%02x", at,
                      static_cast<unsigned int>(*differ.first),
                      static_cast<unsigned int>(*differ.second));
        throw command_failure_t(line);
    }
    if (device.size() < image.size()) {
        char line[64];
        std::snprintf(line, sizeof line, "verify failed at 0x%zx: the device ends there",
                      device.size());
        throw command_failure_t(line);
    }
    std::cout << "verify OK" << std::endl;
}
