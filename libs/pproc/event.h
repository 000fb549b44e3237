// SPDX-License-Identifier: MIT
// An event a thread can wait on with a time limit: manual reset keeps it set for every
// waiter until reset(), automatic reset lets one wait consume it.
#pragma once

#include <memory>

namespace qv::pproc {

class thread_t;

// Whether a set event stays set for every waiter until reset() (manual) or is consumed by
// the one wait that sees it (automatic).
enum class event_reset_t { automatic, manual };

class event_t {
public:
    // Throws qv::exception_t when the event cannot be made.
    explicit event_t(event_reset_t reset);
    ~event_t();
    event_t(const event_t&) = delete;
    event_t& operator=(const event_t&) = delete;

    void set();
    void reset();
    // Waits up to milliseconds (-1: no limit) on a monotonic clock. Returns 1 when the
    // event is set, 0 when the time has run out; throws thread_stop_exception_t when a
    // thread's stop has been requested, even if the event is set as well.
    int wait(int milliseconds);

private:
    friend class thread_t;
    // Used by thread_t's sleep and stop, under the thread's guard.
    void set_stop(int stop);
    void request_stop();

    struct state_t;
    std::unique_ptr<state_t> state;
};

} // namespace qv::pproc
