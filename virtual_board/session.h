// SPDX-License-Identifier: MIT
// One operation's hold on a board: its lock, its settings and fault rules as
// read under the lock, the request log and the time a part takes.
#pragma once

#include "faults.h"
#include "node.h"

#include <cstddef>
#include <string>

namespace vboard {

class session_t {
public:
    // Takes the board's lock (a descriptor of this operation's own, so that threads
    // of one process serialise as processes do) and reads board.conf and faults.txt.
    // A board that cannot be locked leaves error() set and nothing read.
    explicit session_t(const std::string& board);
    // Saves the rules' counters when a call was counted; releases the lock.
    ~session_t();
    session_t(const session_t&) = delete;
    session_t& operator=(const session_t&) = delete;

    // The error number every call on an unusable board fails with, else 0.
    int error() const { return error_; }

    // The fault rules' answer for a call (see fault_rules_t::check).
    fault_t check(const std::string& node, const char* op, uint32_t code);

    // One line per call, when the log is on; a single write to a descriptor
    // opened for appending, so lines of concurrent writers never mix.
    void log(const node_ref_t& ref, const char* op, const std::string& args, long long result,
             int error, const fault_t& fault) const;

    void program_delay(size_t bytes) const;
    void erase_delay() const;

private:
    void save_rules();

    std::string board_;
    int lock_fd_ = -1;
    int error_ = 0;
    bool log_on_ = false;
    long long program_ns_per_byte_ = 0;
    long long erase_ms_ = 0;
    fault_rules_t rules_{""};
};

// Writes one line "vboard: " + text to standard error; errno is kept.
void diagnose(const std::string& text);

// Kills the process at once, as a power failure stops the board.
[[noreturn]] void power_cut();

// Run in the child after fork: drops the board locks that the parent's threads
// held at that moment, which no thread of the child holds.
void fork_child();

} // namespace vboard
