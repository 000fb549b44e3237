// SPDX-License-Identifier: MIT
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that no node or file
// this run opens can become standard input, output or error. False when that fails: then
// nothing may be opened at all.
bool open_standard_streams();
