// SPDX-License-Identifier: MIT
// A check that fails with a message of the caller's choosing.
#pragma once

#include <string>

// Throws qv::exception_t with message ("verify failed" when empty) when value is null.
void verify(const void* value, const std::string& message);
