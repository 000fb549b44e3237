// SPDX-License-Identifier: MIT
#pragma once

// A command line romtool does not take: fails the run (status 1) with the usage text as
// its message, printed on standard output (with "-json", on standard error).
[[noreturn]] void usage_failure();
// "-h", "--help": the usage text with a line for every option it does not list.
void help();
