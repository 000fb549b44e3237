#include "commands.h"

#include "zelk/zelk_driver.h"

#include <fcntl.h>
#include <iostream>

bool erase_device(const std::string& path) {
    qv::zelk::driver_t device(path, O_RDWR);
    try {
        device.ioctl(FLASH_IOC_ERASE);
    } catch (const qv::exception_t& e) {
        std::cout << "erase failed: " << e.what() << std::endl;
        return false;
    }
    return true;
}
