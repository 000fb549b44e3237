// SPDX-License-Identifier: MIT
#include "removed_on_signal.h"

#include <csignal>
#include <cstring>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
struct sigaction saved[sizeof signals / sizeof signals[0]];
char armed_path[PATH_MAX];
volatile sig_atomic_t armed = 0;

// Only async-signal-safe calls here.
void remove_then_end(int number) {
    if (armed)
        ::unlink(armed_path);
    ::signal(number, SIG_DFL);
    ::raise(number);
}

} // namespace

void removed_on_signal_t::arm(const std::string& path) {
    if (armed || path.size() >= sizeof armed_path)
        return;
    std::memcpy(armed_path, path.c_str(), path.size() + 1);
    struct sigaction action = {};
    action.sa_handler = remove_then_end;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < sizeof signals / sizeof signals[0]; ++i) {
        ::sigaction(signals[i], nullptr, &saved[i]);
        if (saved[i].sa_handler != SIG_IGN)
            ::sigaction(signals[i], &action, nullptr);
    }
    armed = 1;
}

void removed_on_signal_t::disarm() {
    if (!armed)
        return;
    armed = 0;
    for (std::size_t i = 0; i < sizeof signals / sizeof signals[0]; ++i)
        ::sigaction(signals[i], &saved[i], nullptr);
}

removed_on_signal_t::~removed_on_signal_t() {
    disarm();
}
