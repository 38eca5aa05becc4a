// close_wake_test.cpp: a close from another thread ends waits on the stream at once,
// and the descriptor outlives every call that has waited on it.
#include "case_names.hpp"   // ByName
#include "kernel.hpp"       // make_pipe, Io
#include "raised.hpp"       // raised_by
#include "thread_state.hpp" // await_blocked_in_ppoll
#include "timed_wait.hpp"   // Clock

#include <zelt.h>         // zl_define_method, zl_wait_for_single_fd, zl_io_check_closed
#include <zelt/embed.hpp> // call, intern, io_fd

#include <cerrno>        // errno, EBADF
#include <fcntl.h>       // fcntl
#include <future>        // async: each waiter's outcome
#include <gtest/gtest.h> // TEST_P
#include <latch>         // waiters announce themselves; a call held open
#include <unistd.h>      // gettid
#include <vector>        // several waiters

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

// ---- waits ended by a close ------------------------------------------------------

enum class When { BeforeTheCall, AsTheCallStarts, WhileBlocked };

struct CloseCase {
    const char *name;
    When when;
    int waiters;
    int64_t limit_s; // -1: no limit
};

void PrintTo(const CloseCase &c, std::ostream *os) { *os << c.name; }

const CloseCase kCloses[] = {
    {"closed_before_the_call", When::BeforeTheCall, 1, -1},
    {"closed_before_a_call_that_polls_once", When::BeforeTheCall, 1, 0},
    {"closed_as_the_call_starts", When::AsTheCallStarts, 1, -1},
    {"closed_while_blocked", When::WhileBlocked, 1, -1},
    {"closed_while_blocked_with_a_limit", When::WhileBlocked, 1, 10},
    {"closed_under_three_waiters", When::WhileBlocked, 3, -1},
};

struct Waiter {
    InCall seen;
    int64_t returned = -99;
    std::string raised;
    Clock::time_point ended;
};

class CloseWake : public ::testing::TestWithParam<CloseCase> {
protected:
    static void SetUpTestSuite() { define_test_methods(); }
};

TEST_P(CloseWake, EndsTheWaitAndKeepsTheDescriptorUntilTheWaitersLeave) {
    const CloseCase &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    if (c.when == When::BeforeTheCall) zelt::call(io, "close");

    const zl_value args[] = {zelt::integer(c.limit_s)};
    std::vector<pid_t> tids(c.waiters);
    std::latch announced(c.waiters);
    std::vector<std::future<Waiter>> waiters;
    waiters.reserve(c.waiters);
    for (int i = 0; i < c.waiters; ++i)
        waiters.push_back(std::async(std::launch::async, [&, i] {
            tids[i] = ::gettid();
            announced.count_down();
            Waiter w;
            w.raised = raised_by([&] {
                           w.returned = zelt::integer_value(zelt::call(
                               io, zelt::intern(kWaitInCall), c.limit_s < 0 ? 0 : 1, args));
                       }).class_name;
            w.seen = in_call;
            w.ended = Clock::now();
            return w;
        }));
    announced.wait();
    if (c.when == When::WhileBlocked) {
        for (pid_t tid : tids) EXPECT_TRUE(await_blocked_in_ppoll(tid)) << "thread " << tid;
    }
    const auto closed_at = Clock::now();
    if (c.when != When::BeforeTheCall) zelt::call(io, "close");

    // A waiter that sleeps through the close is freed by data, so that the
    // failure shows instead of hanging the suite.
    bool rescued = false;
    for (auto &w : waiters)
        if (w.wait_until(closed_at + 5s) == std::future_status::timeout && !rescued) {
            zt::write_all(pipe.peer.get(), "x");
            rescued = true;
        }
    EXPECT_FALSE(rescued) << "a waiter slept through the close";
    for (auto &f : waiters) {
        Waiter w = f.get();
        EXPECT_EQ(w.raised, "");
        EXPECT_EQ(w.returned, 0) << "errno " << w.seen.err;
        EXPECT_TRUE(w.seen.reads_closed);
        if (c.when == When::WhileBlocked) {
            EXPECT_TRUE(w.seen.fd_still_open);
        }
        EXPECT_LT(w.ended - closed_at, 2s);
    }
    EXPECT_EQ(zelt::call(io, "closed?"), ZL_TRUE);
    EXPECT_EQ(zelt::io_fd(io), -1);
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

INSTANTIATE_TEST_SUITE_P(Runtime, CloseWake, ::testing::ValuesIn(kCloses), ByName());

// ---- the runtime's own reads, blocked, then closed -------------------------------

struct BlockedRead {
    const char *name;
    const char *method;
    int argc; // read's length, when 1
};

void PrintTo(const BlockedRead &c, std::ostream *os) { *os << c.name; }

const BlockedRead kReads[] = {
    {"gets", "gets", 0},
    {"read_to_the_end", "read", 0},
    {"read_five", "read", 1},
};

class CloseEndsRead : public ::testing::TestWithParam<BlockedRead> {};

TEST_P(CloseEndsRead, RaisesIOErrorInTheReader) {
    const BlockedRead &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    const zl_value args[] = {zelt::integer(5)};
    pid_t tid = 0;
    std::latch announced(1);
    auto reader = std::async(std::launch::async, [&] {
        tid = ::gettid();
        announced.count_down();
        return raised_by([&] { zelt::call(io, zelt::intern(c.method), c.argc, args); });
    });
    announced.wait();
    EXPECT_TRUE(await_blocked_in_ppoll(tid));
    zelt::call(io, "close");
    if (reader.wait_for(5s) == std::future_status::timeout) {
        pipe.peer.reset(); // end of file frees the reader
        ADD_FAILURE() << "the reader slept through the close";
    }
    Raised r = reader.get();
    EXPECT_EQ(r.class_name, "IOError");
    EXPECT_NE(r.message.find("closed"), std::string::npos) << r.message;
}

INSTANTIATE_TEST_SUITE_P(Runtime, CloseEndsRead, ::testing::ValuesIn(kReads), ByName());

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
