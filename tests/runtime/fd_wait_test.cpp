// fd_wait_test.cpp: zl_wait_for_single_fd on real descriptors: limits, readiness, failures.
#include "case_names.hpp"   // ByName
#include "kernel.hpp"       // make_pipe and the other kernel objects
#include "thread_state.hpp" // await_blocked_in_ppoll
#include "timed_wait.hpp"   // timed_wait, kLateness

#include <climits>       // LONG_MAX, INT_MIN
#include <fcntl.h>       // open
#include <gtest/gtest.h> // TEST_P
#include <poll.h>        // POLLIN, POLLOUT, POLLHUP
#include <thread>        // a peer that writes later
#include <unistd.h>      // gettid

// Limits print as seconds and microseconds in test listings.
static void PrintTo(const timeval &tv, std::ostream *os) {
    *os << "{" << tv.tv_sec << ", " << tv.tv_usec << "}";
}

namespace rt_test {
namespace {

// ---- limits on a descriptor that never becomes ready -------------------------

struct LimitCase {
    const char *name;
    timeval limit;
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

const LimitCase kLimits[] = {
    {"zero_polls_once", {0, 0}},
    {"under_a_millisecond", {0, 999}}, // lost if rounded down to whole milliseconds
    {"one_and_a_half_ms", {0, 1500}},
    {"hundred_ms", {0, 100000}},
    {"three_hundred_ms", {0, 300000}},
};

class WaitLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(WaitLimit, EmptyPipeTimesOutAfterTheLimit) {
    zt::Ends pipe = zt::make_pipe();
    timeval limit = GetParam().limit;
    const auto asked =
        std::chrono::seconds(limit.tv_sec) + std::chrono::microseconds(limit.tv_usec);
    TimedWait w = timed_wait(pipe.near.get(), POLLIN, &limit);
    EXPECT_EQ(w.result, 0);
    EXPECT_GE(w.took, asked);
    EXPECT_LT(w.took, asked + kLateness);
}

INSTANTIATE_TEST_SUITE_P(Runtime, WaitLimit, ::testing::ValuesIn(kLimits), ByName());

// ---- descriptors that are ready ------------------------------------------------

zt::Ends regular_file_ends() { return {zt::regular_file("x"), zt::Fd()}; }
zt::Ends dev_null_ends() { return {zt::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), zt::Fd()}; }

void write_a_byte(zt::Ends &e) { zt::write_all(e.peer.get(), "x"); }
void hang_up(zt::Ends &e) { e.peer.reset(); }
void nothing(zt::Ends &) {}

struct ReadyCase {
    const char *name;
    zt::Ends (*make)();
    void (*prepare)(zt::Ends &); // what makes the waited-on end ready
    int events;
    short expect;         // a bit the result holds
    bool on_peer = false; // wait on the peer end rather than the near one
};

void PrintTo(const ReadyCase &c, std::ostream *os) { *os << c.name; }

const ReadyCase kReady[] = {
    {"pipe_with_data", zt::make_pipe, write_a_byte, POLLIN, POLLIN},
    {"socketpair_with_data", zt::make_socketpair, write_a_byte, POLLIN, POLLIN},
    {"tcp_with_data", zt::make_tcp, write_a_byte, POLLIN, POLLIN},
    {"pty_with_data", zt::make_pty, write_a_byte, POLLIN, POLLIN},
    {"fifo_with_data", zt::make_fifo, write_a_byte, POLLIN, POLLIN},
    {"regular_file", regular_file_ends, nothing, POLLIN, POLLIN},
    {"dev_null", dev_null_ends, nothing, POLLIN, POLLIN},
    {"pipe_whose_writer_hung_up", zt::make_pipe, hang_up, POLLIN, POLLHUP},
    {"socketpair_whose_peer_hung_up", zt::make_socketpair, hang_up, POLLIN, POLLIN},
    {"pipe_writer_for_writing", zt::make_pipe, nothing, POLLOUT, POLLOUT, true},
};

class WaitReady : public ::testing::TestWithParam<ReadyCase> {};

TEST_P(WaitReady, AnswersAboveZeroAtOnce) {
    const ReadyCase &c = GetParam();
    zt::Ends ends = c.make();
    c.prepare(ends);
    const int fd = c.on_peer ? ends.peer.get() : ends.near.get();
    timeval limit{5, 0}; // a fault shows as a slow answer, not a hang
    TimedWait w = timed_wait(fd, c.events, &limit);
    EXPECT_GT(w.result, 0);
    EXPECT_TRUE(w.result & c.expect) << "revents " << w.result;
    EXPECT_LT(w.took, 1s);
}

TEST_P(WaitReady, AnswersWithoutALimitToo) {
    const ReadyCase &c = GetParam();
    zt::Ends ends = c.make();
    c.prepare(ends);
    TimedWait w = timed_wait(c.on_peer ? ends.peer.get() : ends.near.get(), c.events, nullptr);
    EXPECT_TRUE(w.result > 0 && (w.result & c.expect)) << "result " << w.result;
}

INSTANTIATE_TEST_SUITE_P(Runtime, WaitReady, ::testing::ValuesIn(kReady), ByName());

// ---- limits too long to matter ---------------------------------------------------

class HugeLimit : public ::testing::TestWithParam<timeval> {};

// A limit of a century or more is no limit: it neither overflows into an
// early return nor is refused, and the wait still ends when data arrives.
TEST_P(HugeLimit, WaitsUntilDataArrives) {
    zt::Ends pipe = zt::make_pipe();
    const pid_t waiter = ::gettid();
    bool seen_blocked = false;
    std::thread peer([&] {
        seen_blocked = await_blocked_in_ppoll(waiter);
        zt::write_all(pipe.peer.get(), "x"); // frees the waiter in any case
    });
    timeval limit = GetParam();
    TimedWait w = timed_wait(pipe.near.get(), POLLIN, &limit);
    peer.join();
    EXPECT_TRUE(seen_blocked) << "the wait did not block";
    EXPECT_GT(w.result, 0);
    EXPECT_TRUE(w.result & POLLIN);
}

TEST_P(HugeLimit, ReadyDescriptorAnswersAtOnce) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "x");
    timeval limit = GetParam();
    TimedWait w = timed_wait(pipe.near.get(), POLLIN, &limit);
    EXPECT_GT(w.result, 0);
    EXPECT_LT(w.took, 1s);
}

INSTANTIATE_TEST_SUITE_P(Runtime, HugeLimit,
                         ::testing::Values(timeval{INT_MAX, 0},
                                           timeval{int64_t{100} * 366 * 24 * 3600, 0},
                                           timeval{LONG_MAX / 1000, 999999},
                                           timeval{LONG_MAX, 999999}));

// ---- failures --------------------------------------------------------------------

// A descriptor number that was valid a moment ago and is closed now.
int closed_number() {
    zt::Ends pipe = zt::make_pipe();
    return pipe.near.get(); // both ends close here
}

struct InvalidCase {
    const char *name;
    int (*fd)();
};

void PrintTo(const InvalidCase &c, std::ostream *os) { *os << c.name; }

const InvalidCase kInvalid[] = {
    {"closed_number", closed_number},
    {"minus_one", [] { return -1; }},
    {"most_negative", [] { return INT_MIN; }},
};

class WaitInvalid : public ::testing::TestWithParam<InvalidCase> {};

TEST_P(WaitInvalid, FailsWithEbadfAtOnceWhateverTheLimit) {
    const int fd = GetParam().fd();
    timeval zero{0, 0}, second{1, 0};
    for (timeval *limit : {static_cast<timeval *>(nullptr), &zero, &second}) {
        TimedWait w = timed_wait(fd, POLLIN, limit);
        EXPECT_LT(w.result, 0) << "limit " << (limit ? limit->tv_sec : -1);
        EXPECT_EQ(w.err, EBADF);
        EXPECT_LT(w.took, 500ms);
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, WaitInvalid, ::testing::ValuesIn(kInvalid), ByName());

class MalformedLimit : public ::testing::TestWithParam<timeval> {};

TEST_P(MalformedLimit, FailsWithEinval) {
    zt::Ends pipe = zt::make_pipe();
    timeval limit = GetParam();
    TimedWait w = timed_wait(pipe.near.get(), POLLIN, &limit);
    EXPECT_LT(w.result, 0);
    EXPECT_EQ(w.err, EINVAL);
}

INSTANTIATE_TEST_SUITE_P(Runtime, MalformedLimit,
                         ::testing::Values(timeval{0, -1}, timeval{0, 1000000}, timeval{-1, 0},
                                           timeval{-1, 500000}, timeval{LONG_MIN, 0}));

} // namespace
} // namespace rt_test
