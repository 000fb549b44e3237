// SPDX-License-Identifier: MIT
#include "commands.h"
#include "failure.h"

#include "zelk/zelk_driver.h"

#include <fcntl.h>

void erase_device(const std::string& path) {
    qv::zelk::driver_t device(path, O_RDWR);
    try {
        device.ioctl(FLASH_IOC_ERASE);
    } catch (const qv::exception_t& e) {
        throw command_failure_t(std::string("erase failed: ") + e.what());
    }
}
