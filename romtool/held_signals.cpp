// SPDX-License-Identifier: MIT
#include "held_signals.h"

#include <exception>
#include <initializer_list>
#include <pthread.h>

namespace {
sigset_t deferred_mask;
bool deferred = false;
} // namespace

held_signals_t::held_signals_t() : unwinding_(std::uncaught_exceptions()) {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
}

held_signals_t::~held_signals_t() {
    if (std::uncaught_exceptions() > unwinding_ && !deferred) {
        deferred_mask = before_;
        deferred = true;
        return;
    }
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

void held_signals_t::release_deferred() {
    if (!deferred)
        return;
    deferred = false;
    pthread_sigmask(SIG_SETMASK, &deferred_mask, nullptr);
}
