// SPDX-License-Identifier: MIT
#pragma once

#include <ostream>

// Writes the usage text to standard output; returns 1, the exit status of a bad command line.
int usage();
// The --help lines of the environment-store commands, in the usage text's layout.
void env_store_help(std::ostream& out);
