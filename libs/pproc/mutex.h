// SPDX-License-Identifier: MIT
// A recursive mutex and its scoped holder; the owning thread may lock again and
// must unlock as often.
#pragma once

#include <memory>
#include <string>

namespace qv::pproc {

class mutex_t {
public:
    // The name is kept for debugging only. Throws qv::exception_t when the mutex cannot be made.
    explicit mutex_t(const std::string& name);
    ~mutex_t();
    mutex_t(const mutex_t&) = delete;
    mutex_t& operator=(const mutex_t&) = delete;

    // Both throw qv::exception_t on failure, which means a broken program state.
    void lock();
    void unlock();

private:
    struct state_t;
    std::unique_ptr<state_t> state;
};

// Holds a mutex for its scope.
class lock_t {
public:
    explicit lock_t(mutex_t& mutex);
    ~lock_t();
    lock_t(const lock_t&) = delete;
    lock_t& operator=(const lock_t&) = delete;

private:
    mutex_t* mutex;
};

} // namespace qv::pproc
