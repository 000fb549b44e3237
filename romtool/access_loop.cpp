// SPDX-License-Identifier: MIT
#include "commands.h"
#include "report.h"

#include "zelk/zelk_driver.h"

#include <csignal>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

void access_loop(const std::string& path) {
    // The handle is made and never used, so the node is never opened.
    const qv::zelk::driver_t device(path, O_RDONLY);
    report_t& report = report_t::run();
    if (report.json()) {
        // ctrl-c is the normal end: the object goes out first, then main ends by it.
        sigset_t interrupt;
        sigemptyset(&interrupt);
        sigaddset(&interrupt, SIGINT);
        pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
        int number = 0;
        while (sigwait(&interrupt, &number) != 0) {
        }
        report.end_by_signal(SIGINT);
        return;
    }
    // pause() sleeps until a signal arrives; a signal that is caught and returns must not
    // end the loop, one that terminates ends the process.
    for (;;)
        pause();
}
