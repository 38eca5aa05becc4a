// close_wake_test.cpp: the descriptor outlives every call that has waited on
// it. (A close ending blocked calls: tests/hardening/close_during_wait_test.cpp.)
#include "kernel.hpp" // make_pipe, Io
#include "raised.hpp" // raised_by

#include <zelt.h>         // zl_define_method, zl_wait_for_single_fd, zl_io_check_closed
#include <zelt/embed.hpp> // call, intern, io_fd

#include <cerrno>        // errno, EBADF
#include <fcntl.h>       // fcntl
#include <future>        // async: the call held open
#include <gtest/gtest.h> // TEST_F
#include <latch>         // a call held open
#include <unistd.h>      // dup2

namespace rt_test {
namespace {

constexpr const char *kWaitInCall = "zt_rt_wait_in_call"; // names no real method has
constexpr const char *kHold = "zt_rt_hold";

// What the waiting method saw inside its call once its wait had returned.
struct InCall {
    int result = 99;
    int err = 0;
    bool fd_still_open = false; // the descriptor survives a close while the call lasts
    bool reads_closed = false;  // the record tells the close
};
thread_local InCall in_call;

// wait(limit = nil) on the receiver's own descriptor, inside a method call as
// an extension makes it.
zl_value wait_in_call(int argc, const zl_value *argv, zl_value self) {
    zl_openfile *record = zl_io_record(zl_io_taint_check(self));
    zl_value limit = ZL_NIL;
    zl_scan_args(argc, argv, "01", &limit);
    timeval interval;
    timeval *until = nullptr;
    if (limit != ZL_NIL) {
        interval = zl_time_interval(limit);
        until = &interval;
    }
    in_call = {};
    in_call.result = zl_wait_for_single_fd(record->fd, 1, until);
    in_call.err = errno;
    in_call.fd_still_open = ::fcntl(record->fd, F_GETFD) != -1;
    in_call.reads_closed = !raised_by([&] { zl_io_check_closed(record); }).class_name.empty();
    return zl_int_new(in_call.result);
}

// A call that has waited on its stream, then stays in flight until the test
// lets it go.
struct Gate {
    std::latch entered{1};
    std::latch leave{1};
};
Gate *hold_gate;

zl_value hold(zl_value self) {
    timeval zero{};
    zl_wait_for_single_fd(zl_io_record(self)->fd, 1,
                          &zero); // from here the call holds the descriptor
    hold_gate->entered.count_down();
    hold_gate->leave.wait();
    return self;
}

void define_test_methods() {
    static const bool defined = [] {
        zl_define_method(zl_cIO, kWaitInCall, ZL_FUNC(wait_in_call), -1);
        zl_define_method(zl_cIO, kHold, ZL_FUNC(hold), 0);
        return true;
    }();
    (void)defined;
}

// ---- release deferred to the last call out ---------------------------------------

class WithTestMethods : public ::testing::Test {
protected:
    static void SetUpTestSuite() { define_test_methods(); }
};
using CloseInFlight = WithTestMethods;
using StaleNumber = WithTestMethods;

TEST_F(CloseInFlight, DescriptorIsReleasedWhenTheLastCallLeaves) {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    Gate gate;
    hold_gate = &gate;
    auto held = std::async(std::launch::async, [&] { zelt::call(io, kHold); });
    gate.entered.wait();

    EXPECT_EQ(zelt::call(io, "close"), ZL_NIL); // returns without waiting for the held call
    EXPECT_EQ(zelt::call(io, "closed?"), ZL_TRUE);
    EXPECT_EQ(raised_by([&] { zelt::call(io, "fileno"); }).class_name, "IOError");
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "released under a call in flight";
    EXPECT_EQ(zelt::io_fd(io), fd);

    gate.leave.count_down();
    held.get();
    EXPECT_EQ(zelt::io_fd(io), -1);
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

// A stream closed with no call in flight gives its number back at once. A
// wait in a later call on it must not answer for whatever file holds that
// number now, even when it only polls once.
TEST_F(StaleNumber, WaitOnAClosedStreamIgnoresTheFileNowOnItsNumber) {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    zelt::call(io, "close");

    zt::Ends other = zt::make_pipe();
    zt::write_all(other.peer.get(), "x"); // the newcomer is ready
    ASSERT_EQ(::dup2(other.near.get(), fd), fd);
    zt::Fd newcomer(fd);
    for (int64_t limit : {0, 1}) {
        zl_value value = zelt::call(io, kWaitInCall, {zelt::integer(limit)});
        EXPECT_EQ(zelt::integer_value(value), 0) << "limit " << limit;
    }
}

} // namespace
} // namespace rt_test
