// SPDX-License-Identifier: MIT
// The driver's control requests (ioctl) on a node: device information, erase,
// error text and the environment stores.
#pragma once

#include "call.h"

#include <cstdint>

namespace vboard {

// Serves request `code` with its record `argument` on the node's descriptor `fd`.
long device_request(call_t& call, int fd, uint32_t code, void* argument);

} // namespace vboard
