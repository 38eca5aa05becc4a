// barrier_test.cpp: a close with a call in flight makes its barrier, always;
// when membarrier starts failing after it was registered, the close switches
// the calls to fences and makes one barrier that every thread passes, once;
// refused outright, no barrier is left, and no descriptor is given back while
// another thread that has made calls lives.
#include "membarrier_fail.hpp" // membarriers_made, fail_membarrier_with
#include "syscall_hold.hpp"    // Hold, Call

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <test_hooks.hpp> // calls_fence
#include <zelt/embed.hpp> // call, io_fd

#include <cerrno>             // EPERM, ENOMEM
#include <cstdlib>            // exit
#include <future>             // the held call, the other thread's end
#include <gtest/gtest.h>      // TEST, EXPECT_EXIT
#include <linux/membarrier.h> // MEMBARRIER_CMD_*
#include <string>             // outcomes
#include <thread>             // another thread that has made a call

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
    long global_barriers; // made by the close
    std::string fault;    // empty when the descriptor outlived the call, no longer
};

// A close of a stream whose nread is held at its ioctl, past its closed check.
Closed close_under_a_call() {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    Hold hold(Call::Ioctl, fd);
    auto call = std::async(std::launch::async, [&] { return outcome(io, "nread"); });
    hold.await_reached();
    const long before = membarriers_made(MEMBARRIER_CMD_GLOBAL);
    zelt::call(io, "close");
    Closed c{membarriers_made(MEMBARRIER_CMD_GLOBAL) - before, ""};
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
        const long before = membarriers_made(MEMBARRIER_CMD_PRIVATE_EXPEDITED);
        const Closed c = close_under_a_call();
        EXPECT_EQ(c.fault, "");
        EXPECT_EQ(c.global_barriers, 0);
        EXPECT_EQ(membarriers_made(MEMBARRIER_CMD_PRIVATE_EXPEDITED) - before, 1);
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
    const long at_switch = fenced_from_start ? 0 : 1; // fenced from the start: fences do
    if (first.global_barriers != at_switch) std::exit(21);
    std::exit(second.global_barriers == 0 ? 0 : 22); // fences from then on
}

TEST(CloseBarrier, MembarrierFailingAfterRegistrationIsReplacedOnce) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator cannot re-execute the test binary for a death test";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // a fresh process: no other thread
    for (const int errnum : {EPERM, ENOMEM}) {
        SCOPED_TRACE(errnum);
        EXPECT_EXIT(lose_membarrier(errnum), ::testing::ExitedWithCode(0), "");
    }
}

// Closes of streams no call is on, with membarrier refused outright. No
// other thread: given back at once. Another thread that has made a call:
// kept, since its stores may still be unseen, even once the stream's own
// calls have left; once that thread has ended, the next call leaving a
// closed stream gives back every such descriptor nobody names.
void refuse_membarrier_outright() {
    zt::require_wait();
    if (zelt::test_hooks::calls_fence()) std::exit(0); // fenced from the start: fences do
    fail_membarrier_with(EPERM, true);
    zt::Io alone(zt::make_pipe().near);
    zelt::call(alone, "close");
    if (zelt::io_fd(alone) != -1) std::exit(11); // kept with no other thread to order
    zt::Io idle(zt::make_pipe().near), used(zt::make_pipe().near), theirs(zt::make_pipe().near);
    std::promise<void> called, closed;
    std::thread other([&, done = closed.get_future()] {
        zelt::call(theirs, "nread"); // a thread whose stores no barrier orders
        called.set_value();
        done.wait();
    });
    called.get_future().wait();
    zelt::call(idle, "close");
    zelt::call(used, "close");
    outcome(used, "nread"); // a call that leaves a closed stream
    const bool kept = zelt::io_fd(idle) != -1 && zelt::io_fd(used) != -1;
    closed.set_value();
    other.join();
    if (!kept) std::exit(12);
    outcome(used, "nread");
    std::exit(zelt::io_fd(idle) == -1 && zelt::io_fd(used) == -1 ? 0 : 13);
}

TEST(CloseBarrier, MembarrierRefusedOutrightKeepsTheDescriptorWhileAnotherThreadMayCall) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator cannot re-execute the test binary for a death test";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(refuse_membarrier_outright(), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace close_test
