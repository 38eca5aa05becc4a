// barrier_test.cpp: a close with a call in flight makes its barrier, always;
// when membarrier starts failing after it was registered, the close makes a
// process-wide barrier in its place and the calls fence from then on.
#include "membarrier_fail.hpp" // membarriers_made, fail_membarrier_with
#include "syscall_hold.hpp"    // Hold, Call

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <test_hooks.hpp> // process_barriers, calls_fence
#include <zelt/embed.hpp> // call, io_fd

#include <cerrno>        // EPERM, ENOMEM
#include <cstdlib>       // exit
#include <future>        // the held call
#include <gtest/gtest.h> // TEST, EXPECT_EXIT
#include <string>        // outcomes

namespace close_test {
namespace {

std::string outcome(zl_value io, const char *method) {
    try {
        return zelt::inspect(zelt::call(io, method));
    } catch (const zelt::Error &e) {
        return e.what();
    }
}

struct Closed {
    unsigned long process_barriers; // made by the close
    std::string fault;              // empty when the descriptor outlived the call, no longer
};

// A close of a stream whose nread is held at its ioctl, past its closed check.
Closed close_under_a_call() {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    Hold hold(Call::Ioctl, fd);
    auto call = std::async(std::launch::async, [&] { return outcome(io, "nread"); });
    hold.await_reached();
    const unsigned long before = zelt::test_hooks::process_barriers();
    zelt::call(io, "close");
    Closed c{zelt::test_hooks::process_barriers() - before, ""};
    if (zelt::io_fd(io) != fd) c.fault = "released under the call";
    hold.release();
    if (const std::string got = call.get(); got != "0") c.fault += " answered " + got;
    if (zelt::io_fd(io) != -1) c.fault += " kept past the last call";
    return c;
}

TEST(CloseBarrier, OneMembarrierPerCloseWithACallInFlight) {
    zt::require_wait();
    if (zelt::test_hooks::calls_fence()) GTEST_SKIP() << "calls fence here: no membarrier";
    for (int round = 0; round < 3; ++round) {
        const long before = membarriers_made();
        const Closed c = close_under_a_call();
        EXPECT_EQ(c.fault, "");
        EXPECT_EQ(c.process_barriers, 0u);
        EXPECT_EQ(membarriers_made() - before, 1);
    }
}

// In a process of its own: the switch to fenced calls is for good.
void lose_membarrier(int errnum) {
    zt::require_wait();
    const bool fenced_from_start = zelt::test_hooks::calls_fence();
    fail_membarrier_with(errnum);
    const Closed first = close_under_a_call(), second = close_under_a_call();
    if (!first.fault.empty() || !second.fault.empty()) std::exit(10);
    if (!zelt::test_hooks::calls_fence()) std::exit(20);
    const unsigned long each = fenced_from_start ? 0 : 1; // fenced from the start: fences do
    std::exit(first.process_barriers == each && second.process_barriers == each ? 0 : 21);
}

TEST(CloseBarrier, MembarrierFailingAfterRegistrationIsReplacedNotSkipped) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator cannot re-execute the test binary for a death test";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process: no other thread
    for (const int errnum : {EPERM, ENOMEM}) {
        SCOPED_TRACE(errnum);
        EXPECT_EXIT(lose_membarrier(errnum), ::testing::ExitedWithCode(0), "");
    }
}

} // namespace
} // namespace close_test
