// SPDX-License-Identifier: MIT
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "pproc/thread.h"
#include "support/failure.h"

using namespace qv::pproc;
using namespace std::chrono_literals;

namespace {

struct worker_t : thread_t {
    explicit worker_t(std::function<void(worker_t&)> body) : body(std::move(body)) {}
    ~worker_t() override { stop(); }
    int nap(int milliseconds) { return sleep(milliseconds); }
    void run() override { body(*this); }
    std::function<void(worker_t&)> body;
};

// Polls rather than sleeping a fixed time, so a slow machine (qemu, TSan) only waits longer.
template <class P> bool eventually(P predicate) {
    for (int i = 0; i < 10000 && !predicate(); ++i)
        std::this_thread::sleep_for(1ms);
    return predicate();
}

} // namespace

TEST(Thread, StopEndsSleepAtOnceAndStartsAgain) {
    std::atomic<bool> go{true};
    std::atomic<int> runs{0}, naps{0}, stops{0};
    worker_t w([&](worker_t& self) {
        ++runs;
        while (!go)
            std::this_thread::yield();
        try {
            naps += self.nap(30) == 0; // a stop left from the last run must not cut this
            self.nap(5000);
        } catch (const thread_stop_exception_t&) {
            ++stops;
        }
        throw std::runtime_error("ends this thread only");
    });
    for (int run = 1; run <= 2; ++run) {
        w.start();
        ASSERT_TRUE(eventually([&] { return naps == run; }));
        std::this_thread::sleep_for(50ms); // into the long sleep
        w.start();                         // running: nothing happens
        const auto begin = std::chrono::steady_clock::now();
        w.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
        EXPECT_EQ(runs, run);
        EXPECT_EQ(stops, run);
    }
    // A stop requested before the first sleep makes that sleep throw at once.
    go = false;
    w.start();
    std::thread stopper([&] { w.stop(); });
    std::this_thread::sleep_for(100ms); // the request lands first
    go = true;
    stopper.join();
    EXPECT_EQ(naps, 2);
    EXPECT_EQ(stops, 3);
}

TEST(Thread, FailedCreateIsReportedAndNotJoined) {
    pthread_attr_t saved, huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, SIZE_MAX / 4 * 3); // more than the address space
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    std::atomic<int> runs{0};
    worker_t w([&](worker_t&) { ++runs; });
    EXPECT_EQ(failure_of([&] { w.start(); }).what.substr(0, 23), "thread start failed -- ");
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    w.stop(); // must not join a thread that was never made
    w.start();
    w.stop();
    EXPECT_EQ(runs, 1);
}
