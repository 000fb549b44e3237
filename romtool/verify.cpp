// SPDX-License-Identifier: MIT
#include "verify.h"

#include "posix/exception.h"

void verify(const void* value, const std::string& message) {
    if (value)
        return;
    // Passed as an argument, never as the format: a file name may hold a '%'.
    throw qv::exception_t("%s", message.empty() ? "verify failed" : message.c_str());
}
