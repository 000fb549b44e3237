// SPDX-License-Identifier: MIT
#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pproc/deadline.h"
#include "pproc/event.h"
#include "pproc/mutex.h"

using namespace qv::pproc;
using namespace std::chrono_literals;

TEST(Deadline, CarriesMillisecondsIntoSeconds) {
    using pair_t = std::pair<std::int64_t, std::int64_t>;
    const auto after = [](std::int64_t s, std::int64_t ns, int ms) {
        const deadline_t d = deadline_after(s, ns, ms);
        return pair_t(d.seconds, d.nanoseconds);
    };
    EXPECT_EQ(after(5, 600000123, 500), pair_t(6, 100000000)); // into the next second
    EXPECT_EQ(after(5, 999999999, 1), pair_t(6, 0)); // the part below a millisecond is dropped
    EXPECT_EQ(after(0, 999000000, INT_MAX), pair_t(2147484, 646000000)); // no overflow
    EXPECT_EQ(after(3, 250000000, -5), pair_t(3, 250000000)); // negative: now, a valid deadline
    EXPECT_EQ(after(3, 250000000, -1), pair_t(3, 250000000));
}

TEST(Event, AutoResetIsConsumedManualStaysUntilReset) {
    for (int manual : {0, 1}) {
        event_t event(manual ? event_reset_t::manual : event_reset_t::automatic);
        // One set wakes every waiter of a manual event, and the one it is for otherwise.
        std::atomic<int> results[2] = {-2, -2};
        std::vector<std::thread> waiters;
        for (int i = 0; i <= manual; ++i)
            waiters.emplace_back([&, i] { results[i] = event.wait(-1); });
        std::this_thread::sleep_for(20ms);
        event.set();
        for (std::thread& waiter : waiters)
            waiter.join();
        for (int i = 0; i <= manual; ++i)
            EXPECT_EQ(results[i], 1);
        EXPECT_EQ(event.wait(10), manual) << "manual reset " << manual;
        event.reset();
        EXPECT_EQ(event.wait(10), 0);
    }
}

TEST(Mutex, RecursiveLockNeedsAsManyUnlocks) {
    mutex_t mutex("test");
    std::atomic<bool> taken{false};
    mutex.lock();
    mutex.lock();
    mutex.unlock();
    std::thread other([&] {
        lock_t hold(mutex);
        taken = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(taken) << "one unlock released a mutex locked twice";
    mutex.unlock();
    other.join();
    EXPECT_TRUE(taken);
}
