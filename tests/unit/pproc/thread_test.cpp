#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "posix/exception.h"
#include "pproc/thread.h"

using namespace qv::pproc;
using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

namespace {

class worker_t : public thread_t {
public:
    explicit worker_t(std::function<void(worker_t&)> body) : body(std::move(body)) {}
    ~worker_t() override { stop(); }
    int nap(int milliseconds) { return sleep(milliseconds); }

private:
    void run() override { body(*this); }
    std::function<void(worker_t&)> body;
};

int ms_since(clock_type::time_point begin) {
    using std::chrono::milliseconds;
    return static_cast<int>(
        std::chrono::duration_cast<milliseconds>(clock_type::now() - begin).count());
}

// Polls rather than sleeping a fixed time, so a slow machine (qemu, TSan) only waits longer.
template <class P> bool eventually(P predicate) {
    for (int i = 0; i < 10000 && !predicate(); ++i)
        std::this_thread::sleep_for(1ms);
    return predicate();
}

} // namespace

TEST(Thread, StopWithoutStartReturnsAtOnce) {
    std::atomic<bool> ran{false};
    {
        worker_t w([&](worker_t&) { ran = true; });
        w.stop(); // joining a thread never made would crash or hang
    }
    EXPECT_FALSE(ran);
}

TEST(Thread, EscapingExceptionEndsOnlyItsThread) {
    const std::function<void()> throwers[] = {
        [] { throw qv::exception_t("boom"); },
        [] { throw std::runtime_error("boom"); },
        [] { throw 42; },
    };
    for (const auto& thrower : throwers) {
        std::atomic<bool> ran{false};
        worker_t w([&](worker_t&) {
            ran = true;
            thrower();
        });
        w.start();
        w.stop();
        EXPECT_TRUE(ran);
    }
}

TEST(Thread, StartsOneThreadAndAgainAfterStop) {
    std::atomic<int> runs{0}, naps{0}, short_naps{0}, stops{0};
    worker_t w([&](worker_t& self) {
        ++runs;
        try {
            const auto begin = clock_type::now();
            naps += self.nap(30) == 0;          // a stop left from the last run must not cut this
            short_naps += ms_since(begin) < 29; // the deadline drops the part below 1 ms
            self.nap(5000);
        } catch (const thread_stop_exception_t&) {
            ++stops;
        }
    });
    w.start();
    ASSERT_TRUE(eventually([&] { return naps == 1; }));
    w.start();
    w.stop();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(stops, 1);
    w.start();
    ASSERT_TRUE(eventually([&] { return naps == 2; }));
    w.stop();
    EXPECT_EQ(runs, 2);
    EXPECT_EQ(stops, 2);
    EXPECT_EQ(short_naps, 0);
}

// Stop during the sleep, and stop before it: both make it throw at once, past generic handlers.
TEST(Thread, StopEndsSleepAtOnce) {
    for (bool before : {false, true}) {
        std::atomic<bool> go{!before}, sleeping{false};
        std::atomic<int> caught_by{0}, took_ms{-1}; // caught_by 1: stop handler, 2: generic
        worker_t w([&](worker_t& self) {
            while (!go)
                std::this_thread::yield();
            const auto begin = clock_type::now();
            try {
                try {
                    sleeping = true;
                    self.nap(1000);
                } catch (const qv::exception_t&) {
                    caught_by = 2;
                } catch (const std::exception&) {
                    caught_by = 2;
                }
            } catch (const thread_stop_exception_t&) {
                caught_by = 1;
            }
            took_ms = ms_since(begin);
        });
        w.start();
        std::thread stopper([&] {
            EXPECT_TRUE(eventually([&] { return sleeping || before; }));
            std::this_thread::sleep_for(50ms); // into the sleep, or the request lands first
            w.stop();
        });
        if (before)
            std::this_thread::sleep_for(100ms);
        go = true;
        stopper.join();
        EXPECT_EQ(caught_by, 1) << "stop before the sleep: " << before;
        EXPECT_LT(took_ms, 500) << "stop before the sleep: " << before;
    }
}

TEST(Thread, FailedCreateIsReportedAndNotJoined) {
    pthread_attr_t saved, huge;
    ASSERT_EQ(pthread_getattr_default_np(&saved), 0);
    pthread_attr_init(&huge);
    pthread_attr_setstacksize(&huge, SIZE_MAX / 4 * 3); // more than the address space
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    std::atomic<int> runs{0};
    worker_t w([&](worker_t&) { ++runs; });
    try {
        w.start();
        ADD_FAILURE() << "start() reported no failure";
    } catch (const qv::exception_t& e) {
        EXPECT_STREQ(std::string(e.what()).substr(0, 23).c_str(), "thread start failed -- ");
    }
    pthread_setattr_default_np(&saved);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&saved);
    w.stop(); // must not join a thread that was never made
    w.start();
    w.stop();
    EXPECT_EQ(runs, 1);
}
