// SPDX-License-Identifier: MIT
// "-rmt" / "-wmt": up to 12 reader or writer threads on the environment flash, each
// opening the store afresh in every pass, until the operator presses ctrl-c.
#include "commands.h"
#include "failure.h"
#include "report.h"

#include "posix/exception.h"
#include "pproc/thread.h"
#include "zelk/zelk_env.h"

#include <csignal>
#include <exception>
#include <iostream>
#include <list>
#include <memory>
#include <optional>
#include <pthread.h>
#include <signal.h>
#include <sstream>
#include <string>

namespace {

constexpr unsigned int max_threads = 12;
constexpr zelk_env_store flash_store = ZELK_ENV_FLASH;

class env_worker_t : public qv::pproc::thread_t {
public:
    // Meaningful once stop() has joined the thread.
    const std::optional<failure_t>& failure() const { return failure_; }
    std::uint64_t passes() const { return passes_; }

protected:
    // pass() over and over until a stop or the first failure, which is printed once,
    // in one piece, so that lines of several failing workers do not mix.
    template <typename F> void run_passes(const char* prefix, F pass) {
        const phase_t working(error_kind_t::device);
        failure_ = failure_of(prefix, [&] {
            try {
                for (;; ++passes_)
                    pass();
            } catch (const qv::pproc::thread_stop_exception_t&) {
                // the normal end
            }
        });
        if (failure_)
            std::cout << failure_->text + '\n' << std::flush;
    }

private:
    std::optional<failure_t> failure_;
    std::uint64_t passes_ = 0;
};

class read_t final : public env_worker_t {
public:
    // Stops here, before any part of the object the body runs on is gone.
    ~read_t() override {
        try {
            stop();
        } catch (...) {
        }
    }

protected:
    void run() override {
        run_passes("\nromtool::read_t fatal error ", [this] {
            qv::zelk::env_t env(flash_store);
            std::string value;
            const std::string key = "serverip";
            env.get(key, value); // a missing key is no failure here
            sleep(30);
        });
    }
};

class write_t final : public env_worker_t {
public:
    ~write_t() override {
        try {
            stop();
        } catch (...) {
        }
    }

protected:
    void run() override {
        run_passes("\nromtool::write_t fatal error ", [this] {
            qv::zelk::env_t env(flash_store);
            {
                const std::string key = "stdin";
                const std::string value = "serial";
                env.set(key, value);
            }
            sleep(1000);
        });
    }
};

} // namespace

void check_thread_count(unsigned int count) {
    if (count > max_threads)
        throw command_failure_t(std::to_string(count) + " is too many ( > " +
                                std::to_string(max_threads) + " ) ");
}

void env_thread_test(unsigned int count, env_threads_t kind) {
    // Before any thread exists: every worker inherits the block, and a ctrl-c from now
    // on stays pending until sigwait takes it, even one during start-up.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Owned here; a failure while starting them stops those already running.
    std::list<std::unique_ptr<env_worker_t>> threads;
    for (unsigned int i = 0; i < count; ++i) {
        std::unique_ptr<env_worker_t> thread;
        if (kind == env_threads_t::readers)
            thread = std::make_unique<read_t>();
        else
            thread = std::make_unique<write_t>();
        thread->start();
        threads.push_back(std::move(thread));
    }

    // One piece, line end included: a worker failing right now prints between two pieces.
    std::cout << "waiting for ctrl-c\n" << std::flush;
    int signal_number = 0;
    while (sigwait(&signals, &signal_number) != 0) {
    }

    // One at a time, in the order they were made; a worker in its pause ends at once.
    std::optional<failure_t> first;
    std::uint64_t passes = 0, failed = 0;
    for (std::unique_ptr<env_worker_t>& thread : threads) {
        thread->stop();
        passes += thread->passes();
        if (thread->failure()) {
            ++failed;
            if (!first)
                first = thread->failure();
        }
        thread.reset();
    }
    threads.clear();
    report_t& report = report_t::run();
    report.set("threads", count);
    report.set("passes", passes);
    report.set("failed_threads", failed);
    // A worker's failure was printed when it happened; the status must show it too, and
    // the object the first one.
    if (first) {
        command_failure_t failure(report.json() ? first->message : "", first->kind);
        failure.error_number = first->error_number;
        throw failure;
    }
}
