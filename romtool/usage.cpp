// SPDX-License-Identifier: MIT
#include "usage.h"

#include <iostream>

int usage() {
    // "-dump" works but is not listed, and "-r" really defaults to 64: the text is
    // kept as operators' scripts know it.
    std::cout << "Usage: romtool\n"
              << "-dev [dev=env0]            : device: fpga0/1, bios0/1, booter, env0/1\n"
              << "-l                         : access in loop\n"
              << "-i                         : get device information\n"
              << "-r [count=16]              : dump memory\n"
              << "-rmt <no_threads [=2]>     : environment read multithread test\n"
              << "-wmt <no_threads [=2]>     : environment write multithread test\n"
              << "-e                         : erase device\n"
              << "-p filename                : program device with file\n"
              << "-pbios filename            : program device with bios (adds checksum)\n"
              << "-pfpga filename(s)         : program device with fpga (adds checksum)\n"
              << "-get <key>                 : get environment key\n"
              << "-set <key> <value>         : set environment key/value\n"
              << std::endl;
    return 1;
}

void env_store_help(std::ostream& out) {
    // For --help, after the usage text's lines; laid out as they are.
    out << "-list                      : list the environment\n"
        << "-unset <key>               : unset environment key (its value becomes empty)\n"
        << "-load <file|->             : replace the environment from a file or stdin\n"
        << "-nvram                     : -get/-set/-list/-unset/-load work on the NVRAM\n";
}
