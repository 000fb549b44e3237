// SPDX-License-Identifier: MIT
#include "pproc/event.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

#include "posix/exception.h"
#include "pproc/deadline.h"

namespace qv::pproc {

struct event_t::state_t {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
    int signalled;
    int manual_reset;
    int stop;
};

namespace {

// The event's own mutex for one scope; a default mutex does not fail to lock or unlock.
class hold_t {
public:
    explicit hold_t(pthread_mutex_t& mutex) : mutex(mutex) { pthread_mutex_lock(&mutex); }
    ~hold_t() { pthread_mutex_unlock(&mutex); }
    hold_t(const hold_t&) = delete;
    hold_t& operator=(const hold_t&) = delete;

private:
    pthread_mutex_t& mutex;
};

} // namespace

event_t::event_t(event_reset_t reset)
    : state(new state_t{{}, {}, 0, reset == event_reset_t::manual, 0}) {
    if (pthread_mutex_init(&state->mutex, nullptr) != 0)
        throw exception_t("event mutex could not be made");
    // Timed waits run on the monotonic clock, so a step of the wall clock (NTP at boot)
    // neither stretches nor cuts a pause.
    pthread_condattr_t attributes;
    int rc = pthread_condattr_init(&attributes);
    if (rc == 0) {
        rc = pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
        if (rc == 0)
            rc = pthread_cond_init(&state->condition, &attributes);
        pthread_condattr_destroy(&attributes);
    }
    if (rc != 0) {
        pthread_mutex_destroy(&state->mutex);
        throw exception_t("event condition could not be made");
    }
}

event_t::~event_t() {
    pthread_cond_destroy(&state->condition);
    pthread_mutex_destroy(&state->mutex);
}

void event_t::set() {
    hold_t hold(state->mutex);
    state->signalled = 1;
    if (state->manual_reset)
        pthread_cond_broadcast(&state->condition);
    else
        pthread_cond_signal(&state->condition);
}

void event_t::reset() {
    hold_t hold(state->mutex);
    state->signalled = 0;
}

int event_t::wait(int milliseconds) {
    state_t& s = *state;
    timespec deadline{};
    if (milliseconds != -1) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const deadline_t d = deadline_after(now.tv_sec, now.tv_nsec, milliseconds);
        deadline.tv_sec = static_cast<decltype(deadline.tv_sec)>(d.seconds);
        deadline.tv_nsec = static_cast<decltype(deadline.tv_nsec)>(d.nanoseconds);
    }
    hold_t hold(s.mutex);
    while (!s.signalled && !s.stop) {
        const int rc = milliseconds == -1
                           ? pthread_cond_wait(&s.condition, &s.mutex)
                           : pthread_cond_timedwait(&s.condition, &s.mutex, &deadline);
        if (rc == ETIMEDOUT && !s.signalled && !s.stop)
            return 0;
    }
    if (s.stop)
        throw thread_stop_exception_t();
    if (!s.manual_reset)
        s.signalled = 0;
    return 1;
}

void event_t::set_stop(int stop) {
    hold_t hold(state->mutex);
    state->stop = stop;
}

void event_t::request_stop() {
    hold_t hold(state->mutex);
    state->stop = 1;
    pthread_cond_signal(&state->condition);
}

} // namespace qv::pproc
