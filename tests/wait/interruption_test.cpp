// interruption_test.cpp: what ends a blocked wait early and what does not. A
// close from another thread does, with the closed-stream error, no kernel
// query and nothing leaked; signals do not.
#include "calls.hpp"         // Held
#include "kernel.hpp"        // zt::Io, zt::make_pipe, zt::open_fd_count
#include "syscall_count.hpp" // zt::syscalls::Counter
#include "waiter.hpp"        // Waiter

#include <gtest/gtest.h>

#include <atomic>   // signals seen
#include <chrono>   // limits
#include <csignal>  // sigaction, SIGUSR1
#include <optional> // the IO, released before the descriptors are counted
#include <thread>   // sleep_for between signals

namespace wait_suite {
namespace {

using namespace std::chrono_literals;
using zelt::call;
using zelt::integer;

constexpr auto kPrompt = 2s; // a close ends the wait well within this

// wait with no limit and with a long one.
class ClosedWhileWaiting : public testing::TestWithParam<bool> {}; // true: wait(30)

TEST_P(ClosedWhileWaiting, RaisesClosedStreamWithoutAskingTheKernel) {
    const int descriptors_at_start = zt::open_fd_count();
    {
        zt::Ends pipe = zt::make_pipe();
        zt::Io io(std::move(pipe.near));
        const bool limited = GetParam();
        Waiter waiter(io, [limited](zl_value io) {
            return limited ? call(io, "wait", {integer(30)}) : call(io, "wait");
        });
        ASSERT_TRUE(waiter.blocks_in_ppoll(5s)) << "the call did not block";
        zt::syscalls::Counter syscalls;
        call(io, "close");
        ASSERT_TRUE(waiter.finishes_within(kPrompt)) << "the close did not end the wait";
        EXPECT_TRUE(raised(waiter.error(), "IOError", "closed stream"));
        EXPECT_EQ(syscalls.ioctls(), 0u) << "a closed stream's count is not asked for";
        EXPECT_TRUE(
            raised(raised_by([&] { return call(io, "ready?"); }), "IOError", "closed stream"));
    }
    EXPECT_EQ(zt::open_fd_count(), descriptors_at_start) << "a descriptor was left open";
}

INSTANTIATE_TEST_SUITE_P(Forms, ClosedWhileWaiting, testing::Bool(),
                         [](const auto &info) { return info.param ? "wait_30" : "wait"; });

// A handler that does nothing, installed without SA_RESTART so that each
// signal makes a blocked system call fail with EINTR.
class Interrupting {
public:
    explicit Interrupting(int signal) : signal_(signal) {
        struct sigaction action {};
        action.sa_handler = [](int) { seen.fetch_add(1, std::memory_order_relaxed); };
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(signal_, &action, &previous_);
    }
    ~Interrupting() { sigaction(signal_, &previous_, nullptr); }
    Interrupting(const Interrupting &) = delete;
    Interrupting &operator=(const Interrupting &) = delete;

    // Signals WAITER's thread every millisecond or two until its call ends.
    void pester(Waiter &waiter) {
        while (!waiter.finishes_within(2ms)) pthread_kill(waiter.handle(), signal_);
    }

    static inline std::atomic<int> seen{0};

private:
    int signal_;
    struct sigaction previous_ {};
};

TEST(SignalsWhileWaiting, NeitherCutALimitedWaitShortNorRaise) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    Interrupting signals(SIGUSR1);
    const int seen_before = Interrupting::seen.load();
    Waiter waiter(io, [](zl_value io) {
        Held limit(zelt::flt(0.3));
        return call(io, "wait", {limit});
    });
    ASSERT_TRUE(waiter.blocks_in_ppoll(5s));
    signals.pester(waiter);
    EXPECT_FALSE(waiter.error()) << waiter.error()->what();
    EXPECT_EQ(waiter.result(), ZL_NIL);
    EXPECT_GE(waiter.seconds(), 0.29) << "the signals cut the wait short";
    EXPECT_LT(waiter.seconds(), 2.0);
    EXPECT_GT(Interrupting::seen.load() - seen_before, 10) << "too few signals arrived to tell";
}

TEST(SignalsWhileWaiting, NeitherEndAWaitWithoutLimitNorRaise) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    Interrupting signals(SIGUSR1);
    Waiter waiter(io, [](zl_value io) { return call(io, "wait"); });
    ASSERT_TRUE(waiter.blocks_in_ppoll(5s));
    const int seen_before = Interrupting::seen.load();
    for (int sent = 0; Interrupting::seen.load() - seen_before < 20 && sent < 2000; ++sent) {
        pthread_kill(waiter.handle(), SIGUSR1);
        std::this_thread::sleep_for(1ms); // pacing the signals
    }
    ASSERT_GE(Interrupting::seen.load() - seen_before, 20) << "the signals did not arrive";
    ASSERT_TRUE(waiter.blocks_in_ppoll(5s)) << "the signals ended the wait";
    zt::write_all(pipe.peer.get(), "x");
    ASSERT_TRUE(waiter.finishes_within(5s));
    EXPECT_FALSE(waiter.error()) << waiter.error()->what();
    EXPECT_EQ(waiter.result(), io.value());
}

} // namespace
} // namespace wait_suite
