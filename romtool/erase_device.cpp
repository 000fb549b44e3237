// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"

#include "device_io.h"
#include "image.h"
#include "zelk/zelk_driver.h"

#include <cstdio>
#include <fcntl.h>
#include <iostream>

void erase_device(const invocation_t& run) {
    const progress_shown_t shown = run.progress();
    qv::zelk::driver_t device(run.device, O_RDWR);
    const std::uint64_t size = shown == progress_shown_t::yes ? device_size(device) : 0;
    try {
        progress_t progress(shown, "erasing", size);
        device.ioctl(FLASH_IOC_ERASE);
        progress.advance(size);
    } catch (const qv::exception_t& e) {
        throw command_failure_t(std::string("erase failed: ") + e.what());
    }
    if (!run.has(modifier_t::verify))
        return;
    // A part that reports an erase it did not do, or cells a power cut left half erased,
    // read back as something else than erased flash.
    progress_t progress(shown, "verifying", size);
    read_to_end(
        device, progress, [](std::size_t at, const unsigned char* bytes, std::size_t count) {
            for (std::size_t i = 0; i < count; ++i) {
                if (bytes[i] == image::erased_byte)
                    continue;
                char line[64];
                std::snprintf(line, sizeof line, "erase verify failed at 0x%zx: device 0x%02x",
                              at + i, static_cast<unsigned int>(bytes[i]));
                throw command_failure_t(line);
            }
            return true;
        });
    progress.finish();
    std::cout << "erase verify OK" << std::endl;
}
