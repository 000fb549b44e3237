// SPDX-License-Identifier: MIT
#include "commands.h"
#include "report.h"

#include "zelk/zelk_driver.h"

#include <cstring>
#include <fcntl.h>
#include <iostream>

void device_info(const std::string& path) {
    qv::zelk::driver_t device(path, O_RDONLY);
    qv::zelk::device_info_t info = {};
    device.ioctl(FLASH_IOC_INFO, &info);

    // A driver that fills the whole name field leaves no terminator: stop at the field.
    const std::string part_name(info.part_name, strnlen(info.part_name, sizeof info.part_name));
    json::value_t fields;
    fields.set("manufacturer_id", info.manufacturer_id);
    fields.set("device_id", info.device_id);
    fields.set("size_kbits", info.size_kbits);
    fields.set("part_name", json::bytes_t{part_name});
    report_t::run().set("info", fields);
    std::cout << "Device information:\n" << std::flush;
    std::cout << std::dec;
    std::cout << "   manf. id: " << info.manufacturer_id << std::endl;
    std::cout << "    dev. id: " << info.device_id << std::endl;
    std::cout << "       size: " << info.size_kbits << " kbits " << std::endl;
    std::cout << "  part name: " << part_name << std::endl;
}
