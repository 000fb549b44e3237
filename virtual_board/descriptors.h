// SPDX-License-Identifier: MIT
// The descriptors a program holds on nodes: which number stands for which node
// of which board, found again after dup, fork and exec.
#pragma once

#include "node.h"

#include <cerrno>
#include <cstdint>
#include <type_traits>

namespace vboard {

constexpr int max_fd = 65536;

// Binds descriptor `fd` to the node; false when the number cannot be tracked.
bool bind(int fd, const node_ref_t* ref);
void unbind(int fd);
// The node behind a descriptor, or null for an ordinary one.
const node_ref_t* lookup(int fd);

// Opens a node when `path` names one and a board is set, with `result` the call's
// result (errno set on failure); false lets the call go to the C library.
bool open_node(const char* path, int flags, int& result);
// When `path` names a node and a board is set: true, with `image` the node's image
// file, or empty when the board has no such node. May throw std::bad_alloc.
bool node_image(const char* path, std::string& image);

// Result of a board call: sets errno only on failure, keeps the caller's otherwise.
template <typename T> T finish(long long result, int saved) {
    if (result < 0) {
        errno = static_cast<int>(-result);
        if constexpr (std::is_pointer_v<T>)
            return reinterpret_cast<T>(static_cast<intptr_t>(-1));
        else
            return static_cast<T>(-1);
    }
    errno = saved;
    if constexpr (std::is_pointer_v<T>)
        return reinterpret_cast<T>(static_cast<intptr_t>(result));
    else
        return static_cast<T>(result);
}

} // namespace vboard
