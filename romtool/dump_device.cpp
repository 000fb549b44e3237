// SPDX-License-Identifier: MIT
#include "commands.h"

#include "report.h"
#include "zelk/zelk_driver.h"

#include <cctype>
#include <fcntl.h>
#include <iomanip>
#include <iostream>

namespace {

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (const char c : bytes) {
        hex += digits[static_cast<unsigned char>(c) >> 4];
        hex += digits[static_cast<unsigned char>(c) & 0xF];
    }
    return hex;
}

} // namespace

void dump_device(const std::string& path, int count) {
    qv::zelk::driver_t device(path, O_RDONLY);
    std::string shown;
    unsigned char buffer[ZELK_WRITE_MAX];
    while (count > 0) {
        // Always a whole chunk, however few bytes are still wanted.
        const ssize_t got = device.read(buffer, sizeof buffer);
        if (got == 0)
            break;
        std::cout << std::hex << std::setfill('0');
        for (ssize_t i = 0; i < got; ++i) {
            if (i != 0 && i % 8 == 0)
                std::cout << std::endl;
            else if (i != 0 && i % 4 == 0)
                std::cout << " :  ";
            const unsigned char byte = buffer[i];
            shown += static_cast<char>(byte);
            std::cout << std::setw(2) << static_cast<unsigned int>(byte) << '['
                      << (std::isalnum(byte) ? static_cast<char>(byte) : '.') << "] ";
            if (--count == 0)
                break;
        }
        std::cout << std::endl;
    }
    report_t::run().set("hex", hex_of(shown));
}
