// SPDX-License-Identifier: MIT
#pragma once

#include <signal.h>

// For its scope, SIGINT, SIGTERM, SIGHUP and SIGQUIT wait: a ctrl-c in the middle of a
// change that must not be left half done takes effect when the change is over, with the
// exit the signal gives. A scope left by a failure keeps them waiting until main has
// reported the failure (release_deferred()), so that its message is not lost to them.
class held_signals_t {
public:
    held_signals_t();
    ~held_signals_t(); // the signals that came meanwhile are acted on here
    held_signals_t(const held_signals_t&) = delete;
    held_signals_t& operator=(const held_signals_t&) = delete;

    // Acts on the signals a failing scope left waiting; nothing when there are none.
    static void release_deferred();

private:
    sigset_t before_;
    int unwinding_;
};
