// SPDX-License-Identifier: MIT
// The board: a directory that holds the state a flash driver would keep in its
// devices. Each driver operation is one call of the board core (core/), run
// in a session that holds the board's lock, so threads and processes see each
// other's changes whole.
#pragma once

#include "node.h"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace vboard {

// Every operation returns its result, or minus the error number on failure.
// `fd` is the descriptor reserved for the node: the open image file, whose
// kernel offset and status flags are the node's.
long board_open(const node_ref_t& ref, int flags, int& fd);
long board_read(const node_ref_t& ref, int fd, void* buffer, size_t count, const off64_t* at);
long board_write(const node_ref_t& ref, int fd, const void* buffer, size_t count,
                 const off64_t* at);
off64_t board_lseek(const node_ref_t& ref, int fd, off64_t offset, int whence);
long board_ioctl(const node_ref_t& ref, int fd, uint32_t code, void* argument);
long board_close(const node_ref_t& ref, int fd);

} // namespace vboard
