#include <atomic>
#include <chrono>
#include <climits>
#include <thread>

#include <gtest/gtest.h>

#include "pproc/deadline.h"
#include "pproc/event.h"
#include "pproc/mutex.h"

using namespace qv::pproc;
using namespace std::chrono_literals;

TEST(Deadline, CarriesMillisecondsIntoSeconds) {
    const struct {
        std::int64_t sec, nsec;
        int timeout;
        std::int64_t want_sec, want_nsec;
    } rows[] = {
        {5, 600000123, 500, 6, 100000000}, // 600 ms past a second + 500 -> next second + 100 ms
        {5, 999999999, 1, 6, 0},           // the part below a millisecond is dropped
        {0, 999000000, INT_MAX, 2147484, 646000000}, // the millisecond sum does not overflow
        {3, 250000000, -5, 3, 250000000},            // negative: now, not an invalid deadline
    };
    for (const auto& r : rows) {
        const deadline_t d = deadline_after(r.sec, r.nsec, r.timeout);
        EXPECT_EQ(d.seconds, r.want_sec) << r.nsec << " + " << r.timeout;
        EXPECT_EQ(d.nanoseconds, r.want_nsec) << r.nsec << " + " << r.timeout;
    }
}

TEST(Event, AutoResetIsConsumedManualStaysUntilReset) {
    for (int manual : {0, 1}) {
        event_t event(manual);
        std::atomic<int> result{-2};
        std::thread waiter([&] { result = event.wait(-1); });
        std::this_thread::sleep_for(20ms);
        event.set(); // wakes a waiter of another thread
        waiter.join();
        EXPECT_EQ(result, 1);
        EXPECT_EQ(event.wait(10), manual) << "manual reset " << manual;
        event.reset();
        EXPECT_EQ(event.wait(10), 0);
    }
}

TEST(Mutex, RecursiveLockNeedsAsManyUnlocks) {
    mutex_t mutex("test");
    std::atomic<bool> taken{false};
    std::thread other;
    {
        lock_t outer(mutex);
        mutex.lock();
        other = std::thread([&] {
            lock_t inner(mutex);
            taken = true;
        });
        mutex.unlock();
        std::this_thread::sleep_for(50ms);
        EXPECT_FALSE(taken) << "one unlock released a mutex locked twice";
    }
    other.join();
    EXPECT_TRUE(taken);
}
