// SPDX-License-Identifier: MIT
#include "pproc/thread.h"

#include <cxxabi.h>
#include <pthread.h>
#include <string.h>

#include "posix/exception.h"
#include "pproc/event.h"
#include "pproc/mutex.h"

namespace qv::pproc {

// running and handle belong to the creating thread; guard protects current_wait and
// stop_requested, which the stopping and the running thread share.
struct thread_t::state_t {
    int running = 0;
    pthread_t handle{};
    mutex_t guard{""};
    event_t* current_wait = nullptr;
    int stop_requested = 0;
    event_t sleeper{event_reset_t::manual};
};

thread_t::thread_t() : state(new state_t) {}

thread_t::~thread_t() {
    try {
        stop();
    } catch (...) {
    }
}

void thread_t::start() {
    state_t& s = *state;
    if (s.running)
        return;
    {
        lock_t hold(s.guard);
        s.stop_requested = 0;
    }
    const int rc = pthread_create(&s.handle, nullptr, &thread_t::entry, this);
    // Not running: stop() and the destructor must not join a thread that does not exist.
    if (rc != 0) {
        // strerror_r: threads start threads, and strerror may share one buffer among them.
        char text[256];
        throw posix::posix_exception_t(rc, "thread start failed -- %s",
                                       strerror_r(rc, text, sizeof text));
    }
    s.running = 1;
}

void thread_t::stop() {
    state_t& s = *state;
    if (!s.running)
        return;
    {
        lock_t hold(s.guard);
        s.stop_requested = 1;
        if (s.current_wait)
            s.current_wait->request_stop();
    }
    s.running = 0;
    pthread_join(s.handle, nullptr);
}

int thread_t::sleep(int milliseconds) {
    state_t& s = *state;
    {
        // Carries a stop requested before this call, and clears one left from an earlier run.
        lock_t hold(s.guard);
        s.current_wait = &s.sleeper;
        s.sleeper.set_stop(s.stop_requested);
    }
    auto end_wait = [&s] {
        lock_t hold(s.guard);
        s.current_wait = nullptr;
    };
    int result;
    try {
        result = s.sleeper.wait(milliseconds);
    } catch (...) {
        end_wait();
        throw;
    }
    end_wait();
    return result;
}

void* thread_t::entry(void* self) {
    try {
        static_cast<thread_t*>(self)->run();
    } catch (abi::__forced_unwind&) {
        throw; // thread cancellation must unwind to its end
    } catch (...) {
        // An escaping exception ends this thread only, never the process.
    }
    return nullptr;
}

} // namespace qv::pproc
