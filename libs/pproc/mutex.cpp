// SPDX-License-Identifier: MIT
#include "pproc/mutex.h"

#include <pthread.h>

#include "posix/exception.h"

namespace qv::pproc {

struct mutex_t::state_t {
    std::string name;
    pthread_mutexattr_t attributes;
    pthread_mutex_t mutex;
};

mutex_t::mutex_t(const std::string& name) : state(new state_t{name, {}, {}}) {
    pthread_mutexattr_t& attributes = state->attributes;
    if (pthread_mutexattr_init(&attributes) != 0)
        throw exception_t("mutex attributes could not be made");
    if (pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE) != 0 ||
        pthread_mutex_init(&state->mutex, &attributes) != 0) {
        pthread_mutexattr_destroy(&attributes);
        throw exception_t("mutex could not be made");
    }
}

mutex_t::~mutex_t() {
    pthread_mutex_destroy(&state->mutex);
    pthread_mutexattr_destroy(&state->attributes);
}

void mutex_t::lock() {
    if (pthread_mutex_lock(&state->mutex) != 0)
        throw exception_t("mutex lock attempt failed... this couldn't have happened");
}

void mutex_t::unlock() {
    if (pthread_mutex_unlock(&state->mutex) != 0)
        throw exception_t("mutex unlock attempt failed... this couldn't have happened");
}

lock_t::lock_t(mutex_t& mutex) : mutex(&mutex) {
    mutex.lock();
}

lock_t::~lock_t() {
    // A failed unlock means a broken program state already; it must not end the process here.
    try {
        mutex->unlock();
    } catch (...) {
    }
}

} // namespace qv::pproc
