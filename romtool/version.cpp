// SPDX-License-Identifier: MIT
#include "commands.h"

#include "version.h"

#include <iostream>

void print_version() {
    std::cout << "romtool " << ROMTOOL_VERSION << std::endl;
}
