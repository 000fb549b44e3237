// SPDX-License-Identifier: MIT
#include "usage.h"

#include <iostream>
#include <string>

namespace {

struct usage_line_t {
    const char* synopsis; // left-aligned in a field of 27 characters
    const char* what;
};

// "-dump" works but is not listed, and "-r" really defaults to 64: the text is kept as
// operators' scripts know it.
constexpr usage_line_t usage_lines[] = {
    {"-dev [dev=env0]", "device: fpga0/1, bios0/1, booter, env0/1"},
    {"-l", "access in loop"},
    {"-i", "get device information"},
    {"-r [count=16]", "dump memory"},
    {"-rmt <no_threads [=2]>", "environment read multithread test"},
    {"-wmt <no_threads [=2]>", "environment write multithread test"},
    {"-e", "erase device"},
    {"-p filename", "program device with file"},
    {"-pbios filename", "program device with bios (adds checksum)"},
    {"-pfpga filename(s)", "program device with fpga (adds checksum)"},
    {"-get <key>", "get environment key"},
    {"-set <key> <value>", "set environment key/value"},
};

// What --help adds: every option the usage text leaves out.
constexpr usage_line_t help_lines[] = {
    {"-dump [file]", "copy device into file (dump.bin; -: stdout)"},
    {"-verify", "read back and compare after programming"},
    {"-erase", "erase before programming unless erased"},
    {"-ifchanged", "program only when the device differs"},
    {"-crc bios|fpga", "check the CRC of the image on the device"},
    {"-progress", "show progress on standard error"},
    {"-nowait", "fail at once when the device is locked"},
    {"-version", "print the version"},
    {"-list", "list the environment"},
    {"-unset <key>", "unset environment key (its value becomes empty)"},
    {"-load <file|->", "replace the environment from a file or stdin"},
    {"-nvram", "-get/-set/-list/-unset/-load work on the NVRAM"},
};

template <size_t count> void print(const usage_line_t (&lines)[count]) {
    for (const auto& line : lines) {
        std::string synopsis = line.synopsis;
        synopsis.resize(27, ' ');
        std::cout << synopsis << ": " << line.what << '\n';
    }
}

} // namespace

int usage() {
    std::cout << "Usage: romtool\n";
    print(usage_lines);
    std::cout << std::endl;
    return 1;
}

void help() {
    std::cout << "Usage: romtool\n";
    print(usage_lines);
    print(help_lines);
    std::cout << std::endl;
}
