// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// While armed, SIGINT, SIGTERM, SIGHUP and SIGQUIT first remove the file, then end the run
// as they would have: a dump cut short by ctrl-c leaves no hidden copy behind. A signal the
// run ignores stays ignored. One file at a time in a process.
class removed_on_signal_t {
public:
    removed_on_signal_t() = default;
    ~removed_on_signal_t(); // disarms
    removed_on_signal_t(const removed_on_signal_t&) = delete;
    removed_on_signal_t& operator=(const removed_on_signal_t&) = delete;

    void arm(const std::string& path);
    void disarm();
};
