// SPDX-License-Identifier: MIT
// A thread whose body is run(), stopped cooperatively: stop() wakes the body's sleep(),
// which throws thread_stop_exception_t so that the body can leave.
#pragma once

#include <memory>

namespace qv::pproc {

class thread_t {
public:
    thread_t(); // starts nothing
    // Stops and joins a thread still running; by then the derived part is gone, so
    // owners call stop() first.
    virtual ~thread_t();
    thread_t(const thread_t&) = delete;
    thread_t& operator=(const thread_t&) = delete;

    // Runs run() on a new thread; does nothing while one is running. Throws
    // qv::posix::posix_exception_t when the thread cannot be created.
    void start();
    // Asks run() to end and returns once it has; does nothing when no thread is running.
    void stop();

protected:
    // The body. Whatever it throws ends the thread silently.
    virtual void run() = 0;
    // For run() only: waits up to milliseconds (-1: no limit) and returns 0. Throws
    // thread_stop_exception_t at once when a stop is or has been requested.
    int sleep(int milliseconds);

private:
    static void* entry(void* self);

    struct state_t;
    std::unique_ptr<state_t> state;
};

} // namespace qv::pproc
