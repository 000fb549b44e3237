// SPDX-License-Identifier: MIT
// One call's hold on a board: the shell the board core runs the call in. Under the
// board's lock it reads board.conf, faults.txt and the node's identity, maps the
// node's image when the core asks for it, appends the request log and, letting go,
// saves the rules' counters.
#pragma once

#include "faults.h"
#include "node.h"

#include <sys/types.h>

namespace vboard {

class session_t {
public:
    // `fd`: the node's descriptor (the open image file), -1 for an open.
    session_t(const node_ref_t& ref, int fd);
    ~session_t();
    session_t(const session_t&) = delete;
    session_t& operator=(const session_t&) = delete;

    // The descriptor's view of the node: at `at` (pread, pwrite) or its offset.
    zc_file file(const off64_t* at) const;

    zc_board board{};
    zc_node node{};
    int fd;              // an accepted open sets it
    bool closed = false; // the core let the descriptor go

private:
    static session_t& of(zc_board* board) { return *static_cast<session_t*>(board->shell); }
    static const zc_ops ops;

    int lock();
    void unlock();
    void save_rules();
    void append_log(const char* line, size_t length) const;
    void* buffer(size_t size);
    int error_text(int32_t code, const char** text, size_t* length);

    const node_ref_t& ref_;
    int lock_fd_ = -1;
    fault_rules_t rules_{""};
    image_map_t image_;
    std::string buffer_;
    std::string text_;
};

// Writes one line "vboard: " + text to standard error; errno is kept.
void diagnose(const std::string& text);

// Kills the process at once, as a power failure stops the board.
[[noreturn]] void stop_process();

// Run in the child after fork: drops the board locks that the parent's threads
// held at that moment, which no thread of the child holds.
void fork_child();

} // namespace vboard
