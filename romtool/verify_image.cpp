// SPDX-License-Identifier: MIT
// The passes of "-erase", "-ifchanged" and "-verify": the device read once before writing
// and once after, and compared with the image as the programming command laid it out.
#include "failure.h"
#include "program_options.h"

#include "device_io.h"
#include "progress.h"
#include "zelk/zelk_driver.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

namespace {

bool erased(const std::vector<unsigned char>& bytes, size_t length) {
    return bytes.size() == length &&
           std::all_of(bytes.begin(), bytes.end(), [](unsigned char b) { return b == 0xFF; });
}

} // namespace

before_writing_t before_writing(const std::string& path, const target_image_t& target,
                                const program_options_t& options) {
    if (!options.erase && !options.ifchanged)
        return before_writing_t::write;
    const size_t length = target.bytes.size();
    const std::vector<unsigned char> device =
        read_device(path, length, options.progress, "checking");
    if (options.ifchanged && device == target.bytes) {
        std::cout << "device already holds this image" << std::endl;
        return before_writing_t::done;
    }
    // Erasing first would only lose what the device holds: the writes would run off its end.
    if (device.size() < target.end)
        throw qv::exception_t("%s: the device ends at 0x%zx, before the image's end at 0x%zx",
                              path.c_str(), device.size(), target.end);
    // Programming only clears bits: the whole range the image describes, written bytes
    // and the erased rest under the CRC alike, must allow the image before writing.
    if (!options.erase) {
        const auto blocked = std::mismatch(
            device.begin(), device.end(), target.bytes.begin(),
            [](unsigned char held, unsigned char wanted) { return (held & wanted) == wanted; });
        if (blocked.first == device.end())
            return before_writing_t::write;
        char line[64];
        std::snprintf(line, sizeof line, "device is not erased at 0x%zx; add -erase",
                      static_cast<size_t>(blocked.first - device.begin()));
        throw command_failure_t(line);
    }
    if (erased(device, length))
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
    const std::vector<unsigned char> device =
        read_device(path, image.size(), options.progress, "verifying");
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
