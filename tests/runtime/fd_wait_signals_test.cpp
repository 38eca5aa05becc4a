// fd_wait_signals_test.cpp: a storm of signals neither cuts a wait short nor stretches it.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // make_pipe, write_all
#include "timed_wait.hpp" // timed_wait, kLateness

#include <atomic>        // the handler's count, the storm's stop flag
#include <csignal>       // sigaction, SIGUSR1
#include <ctime>         // nanosleep
#include <gtest/gtest.h> // TEST_P
#include <poll.h>        // POLLIN
#include <pthread.h>     // pthread_kill
#include <thread>        // the storm and a late writer

namespace rt_test {
namespace {

std::atomic<int> signals_caught{0};

extern "C" void count_signal(int) { signals_caught.fetch_add(1, std::memory_order_relaxed); }

// Sends SIGUSR1 to one thread every millisecond until destroyed, for two
// seconds at most: a wait that each signal starts afresh ends then and fails
// its bound instead of hanging the suite.
class SignalStorm {
public:
    explicit SignalStorm(pthread_t target)
        : thread_([this, target] {
              const timespec ms{0, 1000000};
              const auto end = Clock::now() + 2s;
              while (!stop_.load() && Clock::now() < end) {
                  pthread_kill(target, SIGUSR1);
                  nanosleep(&ms, nullptr); // the storm's own pace
              }
          }) {}
    ~SignalStorm() {
        stop_.store(true);
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct StormCase {
    const char *name;
    timeval limit;              // {-1, 0}: no limit
    Clock::duration data_after; // zero: no data comes
};

void PrintTo(const StormCase &c, std::ostream *os) { *os << c.name; }

const StormCase kStorms[] = {
    {"bounded_wait_times_out_on_time", {0, 200000}, 0ms},
    {"bounded_wait_sees_late_data", {5, 0}, 150ms},
    {"unbounded_wait_sees_late_data", {-1, 0}, 150ms},
};

// Installs a handler WITHOUT SA_RESTART, so that every signal makes the
// kernel's ppoll fail with EINTR, and restores the old one afterwards.
class WaitUnderSignals : public ::testing::TestWithParam<StormCase> {
protected:
    void SetUp() override {
        struct sigaction sa {};
        sa.sa_handler = count_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ASSERT_EQ(sigaction(SIGUSR1, &sa, &old_), 0);
        signals_caught.store(0);
    }
    void TearDown() override { sigaction(SIGUSR1, &old_, nullptr); }

private:
    struct sigaction old_ {};
};

TEST_P(WaitUnderSignals, KeepsToTheLimitAndToTheData) {
    const StormCase &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    std::thread writer;
    if (c.data_after > 0ms)
        writer = std::thread([&] {
            // The peer writes later: that is the behaviour under test.
            std::this_thread::sleep_for(c.data_after);
            zt::write_all(pipe.peer.get(), "x");
        });
    timeval limit = c.limit;
    TimedWait w{};
    {
        SignalStorm storm(pthread_self());
        w = timed_wait(pipe.near.get(), POLLIN, c.limit.tv_sec < 0 ? nullptr : &limit);
    }
    if (writer.joinable()) writer.join();

    EXPECT_GT(signals_caught.load(), 20) << "the storm did not reach the waiter";
    if (c.data_after > 0ms) {
        EXPECT_GT(w.result, 0) << "errno " << w.err;
        // A wait cut short by a signal would end within a millisecond.
        EXPECT_GE(w.took, c.data_after / 2);
        EXPECT_LT(w.took, c.data_after + kLateness);
    } else {
        const auto asked =
            std::chrono::seconds(c.limit.tv_sec) + std::chrono::microseconds(c.limit.tv_usec);
        EXPECT_EQ(w.result, 0) << "errno " << w.err;
        EXPECT_GE(w.took, asked);
        EXPECT_LT(w.took, asked + kLateness);
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, WaitUnderSignals, ::testing::ValuesIn(kStorms), ByName());

} // namespace
} // namespace rt_test
