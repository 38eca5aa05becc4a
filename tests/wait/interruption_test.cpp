// interruption_test.cpp: a close from another thread ends a blocked wait,
// with the closed-stream error, no kernel query and nothing leaked. (Signals
// do not end a wait: tests/hardening/signals_during_wait_test.cpp.)
#include "calls.hpp"         // Held
#include "kernel.hpp"        // zt::Io, zt::make_pipe, zt::open_fd_count
#include "syscall_count.hpp" // zt::syscalls::Counter
#include "waiter.hpp"        // Waiter

#include <gtest/gtest.h>

#include <chrono>   // limits
#include <optional> // the IO, released before the descriptors are counted

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

} // namespace
} // namespace wait_suite
