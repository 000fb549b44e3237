// SPDX-License-Identifier: MIT
#pragma once

// Writes the usage text to standard output; returns 1, the exit status of a bad command line.
int usage();
// "-h", "--help": the usage text with a line for every option it does not list.
void help();
