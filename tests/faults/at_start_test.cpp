// at_start_test.cpp: the runtime's start-up refused. Run by CTest with
// ZF_AT_START set (CMakeLists.txt), which fails the call before main, as a
// sandbox or an old kernel would; skipped otherwise.
#include "calls.hpp"     // call, Outcome, is_released
#include "in_flight.hpp" // InFlight, Flight
#include "injector.hpp"  // zf::Fault, zf::armed_at_start, zf::barrier_registered

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <zelt/embed.hpp> // wake_signal

#include <csignal>            // sigaction: the wake signal's disposition
#include <gtest/gtest.h>      // TEST
#include <linux/membarrier.h> // MEMBARRIER_CMD_PRIVATE_EXPEDITED

namespace faults_test {
namespace {

// The registration of the expedited barrier refused: the runtime fences
// instead, so a close makes no barrier the kernel would refuse, and still
// ends the calls on its stream.
TEST(BarrierRefusedAtStart, ClosesFenceAndStillEndEveryCall) {
    if (!zf::armed_at_start()) GTEST_SKIP() << "run with ZF_AT_START (CTest does)";
    zt::require_wait();
    EXPECT_FALSE(zf::barrier_registered());
    for (Flight f : {Flight::NreadHeld, Flight::WaitAsleep}) {
        SCOPED_TRACE(flight_name(f));
        zt::Ends pipe = zt::make_pipe();
        const int fd = pipe.near.get();
        zt::Io io(std::move(pipe.near));
        InFlight flight(io, fd, f);
        zf::Fault barriers({.sys = zf::Sys::Membarrier,
                            .key = MEMBARRIER_CMD_PRIVATE_EXPEDITED,
                            .times = 0,
                            .any_thread = true});
        EXPECT_EQ(close_within_seconds(io).text, "nil");
        flight.let_go();
        Outcome ended;
        ASSERT_TRUE(flight.ends(&ended));
        EXPECT_TRUE(flight.answered_rightly(ended)) << ended.text;
        EXPECT_EQ(barriers.seen(), 0u) << "a barrier that was never registered";
        EXPECT_TRUE(is_released(fd));
    }
}

// The wake signal's handler refused at load (ZF_AT_START fails the first
// sigaction on it only): a close looks at the disposition before each round
// of sends and installs the handler then, so it still ends a wait asleep.
TEST(HandlerRefusedAtStart, TheCloseInstallsItAndEndsTheWait) {
    if (!zf::armed_at_start()) GTEST_SKIP() << "run with ZF_AT_START (CTest does)";
    zt::require_wait();
    struct sigaction now = {};
    ASSERT_EQ(sigaction(zelt::wake_signal(), nullptr, &now), 0);
    EXPECT_FALSE(now.sa_flags & SA_SIGINFO) << "the handler was installed at load all the same";
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    InFlight flight(io, fd, Flight::WaitAsleep);
    EXPECT_EQ(close_within_seconds(io).text, "nil"); // returns once no wait sleeps on
    Outcome ended;
    ASSERT_TRUE(flight.ends(&ended));
    EXPECT_TRUE(flight.answered_rightly(ended)) << ended.text;
    EXPECT_TRUE(is_released(fd));
    ASSERT_EQ(sigaction(zelt::wake_signal(), nullptr, &now), 0);
    EXPECT_TRUE(now.sa_flags & SA_SIGINFO) << "the close left the handler uninstalled";
}

} // namespace
} // namespace faults_test
