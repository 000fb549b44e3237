// SPDX-License-Identifier: MIT
#include "held_signals.h"

#include <initializer_list>
#include <pthread.h>

held_signals_t::held_signals_t() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
}

held_signals_t::~held_signals_t() {
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}
