// SPDX-License-Identifier: MIT
#include "commands.h"
#include "report.h"

#include "version.h"

#include <iostream>

void print_version() {
    report_t::run().set("version", ROMTOOL_VERSION);
    std::cout << "romtool " << ROMTOOL_VERSION << std::endl;
}
