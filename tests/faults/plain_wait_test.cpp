// plain_wait_test.cpp: the ppoll of a wait on a descriptor that is no stream
// of this thread's calls (zl_wait_for_single_fd called outside any method),
// failing. A failure answers -1 with its errno; a signal's EINTR never does,
// and a wait with a limit keeps it through them: not cut short.
#include "injector.hpp" // zf::Fault, zf::Sys

#include <kernel.hpp> // make_pipe, write_all
#include <zelt.h>     // zl_wait_for_single_fd

#include <cerrno>        // ENOMEM, EINTR
#include <chrono>        // how long a wait took
#include <gtest/gtest.h> // TEST_P
#include <poll.h>        // POLLIN
#include <string>        // names
#include <sys/time.h>    // timeval

namespace faults_test {
namespace {

using zf::Sys;

struct PlainWaitFailure {
    const char *name;
    long limit_ms;       // -1: no limit
    const char *data;    // in the pipe before the wait; its writer stays open
    int err;             // the ppoll fails with this errno
    unsigned times;      // this many times in a row
    int answer;          // what the wait returns
    int answer_err;      // errno, when it returns -1
    int again;           // the same wait once the kernel answers
    int at_least_ms = 0; // the wait takes no less: a failure that cut it short shows
};

void PrintTo(const PlainWaitFailure &c, std::ostream *os) { *os << c.name; }

const PlainWaitFailure kFailures[] = {
    {"no_limit_enomem", -1, "abc", ENOMEM, 1, -1, ENOMEM, POLLIN},
    {"limit_enomem", 5000, "abc", ENOMEM, 1, -1, ENOMEM, POLLIN},
    {"limit_enomem_nothing_ready", 50, "", ENOMEM, 1, -1, ENOMEM, 0},
    {"no_limit_eintr_storm", -1, "abc", EINTR, 5, POLLIN, 0, POLLIN},
    {"limit_keeps_its_limit_through_eintr", 50, "", EINTR, 3, 0, 0, 0, 50},
};

class PlainWaitFailures : public ::testing::TestWithParam<PlainWaitFailure> {};

int wait_for(int fd, long limit_ms, int *err) {
    timeval limit = {limit_ms / 1000, (limit_ms % 1000) * 1000};
    errno = 0;
    const int got = zl_wait_for_single_fd(fd, POLLIN, limit_ms < 0 ? nullptr : &limit);
    *err = errno;
    return got;
}

TEST_P(PlainWaitFailures, FailAsDocumented) {
    const PlainWaitFailure &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::write_all(pipe.peer.get(), c.data);

    int got = 0;
    int err = 0;
    std::chrono::steady_clock::duration took{};
    {
        zf::Fault fault({.sys = Sys::Ppoll, .err = c.err, .key = fd, .times = c.times});
        const auto start = std::chrono::steady_clock::now();
        got = wait_for(fd, c.limit_ms, &err);
        took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(fault.hits(), c.times) << "the failure was not made where the row says";
    }
    EXPECT_EQ(got, c.answer);
    if (c.answer < 0) {
        EXPECT_EQ(err, c.answer_err);
    }
    EXPECT_GE(took, std::chrono::milliseconds(c.at_least_ms)) << "a failure cut the wait short";
    EXPECT_EQ(wait_for(fd, c.limit_ms < 0 ? 5000 : c.limit_ms, &err), c.again)
        << "the descriptor after the failure";
}

INSTANTIATE_TEST_SUITE_P(Faults, PlainWaitFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace faults_test
