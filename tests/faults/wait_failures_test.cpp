// wait_failures_test.cpp: the descriptor wait's ppoll and the FIONREAD of the
// extension and of eof? failing under every method that makes them, on a pipe
// that the kernel would otherwise answer for. Each failure comes out as the methods
// document it (SystemCallError naming the errno, or nread 0 and ready? nil),
// a signal's EINTR never does, and the stream works as before afterwards.
#include "calls.hpp"    // call, Outcome, starts
#include "injector.hpp" // zf::Fault, zf::Rule, zf::Sys

#include <kernel.hpp>     // make_pipe, Io, Held, write_all, require_wait
#include <zelt/embed.hpp> // flt, integer, inspect

#include <cerrno>        // ENOMEM, EINTR, EIO
#include <chrono>        // how long a call took
#include <cmath>         // isnan: no argument
#include <cstring>       // strlen
#include <gtest/gtest.h> // TEST_P
#include <limits>        // quiet_NaN
#include <optional>      // a Float argument, held
#include <string>        // outcomes

namespace faults_test {
namespace {

using zf::Sys;
constexpr double kNone = std::numeric_limits<double>::quiet_NaN();

struct WaitFailure {
    const char *name;
    const char *method;
    double arg;          // kNone: no argument; read takes it as an Integer, wait as a Float
    const char *data;    // in the pipe before the call
    Sys sys;             // the call that fails
    int err;             // with this errno
    unsigned times;      // this many times in a row
    const char *answer;  // what the method answers, or how what it raises begins
    int answer_err;      // the errno it raises with, if it raises
    const char *again;   // the same call once the kernel answers; null: the receiver
    int at_least_ms = 0; // the call takes no less: a failure that cut the wait short shows
};

void PrintTo(const WaitFailure &c, std::ostream *os) { *os << c.name; }

const WaitFailure kFailures[] = {
    // ppoll in the descriptor wait, under the extension's wait
    {"wait_ppoll_enomem", "wait", kNone, "abc", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, nullptr},
    {"wait_limit_ppoll_enomem", "wait", 5, "abc", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, nullptr},
    {"wait_zero_ppoll_enomem", "wait", 0, "abc", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, nullptr},
    {"wait_empty_ppoll_enomem", "wait", 0.05, "", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, "nil"},
    {"wait_ppoll_eintr_storm", "wait", kNone, "abc", Sys::Ppoll, EINTR, 5, nullptr, 0, nullptr},
    {"wait_limit_keeps_its_limit_through_eintr", "wait", 0.05, "", Sys::Ppoll, EINTR, 3, "nil", 0,
     "nil", 50},
    // ppoll in the fill of the runtime's own reads
    {"gets_ppoll_enomem", "gets", kNone, "line\n", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, "\"line\\n\""},
    {"read_ppoll_enomem", "read", 4, "abcd", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, "\"abcd\""},
    {"gets_ppoll_eintr_storm", "gets", kNone, "one\ntwo\n", Sys::Ppoll, EINTR, 5, "\"one\\n\"", 0,
     "\"two\\n\""},
    // FIONREAD in the extension, on a pipe whose count the kernel would give:
    // /dev/null, listening sockets and hung-up terminals refuse it for real
    // (tests/wait/outcomes_test.cpp), but none of them holds bytes
    {"nread_ioctl_eio", "nread", kNone, "abcde", Sys::Ioctl, EIO, 1, "0", 0, "5"},
    {"ready_ioctl_eio", "ready?", kNone, "abcde", Sys::Ioctl, EIO, 1, "nil", 0, "true"},
    {"wait_ioctl_eio", "wait", kNone, "abcde", Sys::Ioctl, EIO, 1, "SystemCallError: EIO", EIO,
     nullptr},
    {"wait_zero_ioctl_eio", "wait", 0, "abcde", Sys::Ioctl, EIO, 1, "SystemCallError: EIO", EIO,
     nullptr},
    {"wait_limit_ioctl_eio", "wait", 5, "abcde", Sys::Ioctl, EIO, 1, "SystemCallError: EIO", EIO,
     nullptr},
    // eof?: its wait's ppoll, and its own FIONREAD, whose refusal it answers
    // by reading into the buffer instead
    {"eof_ppoll_enomem", "eof?", kNone, "abcde", Sys::Ppoll, ENOMEM, 1, "SystemCallError: ENOMEM",
     ENOMEM, "false"},
    {"eof_ioctl_eio", "eof?", kNone, "abcde", Sys::Ioctl, EIO, 1, "false", 0, "false"},
};

class WaitFailures : public ::testing::TestWithParam<WaitFailure> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

// The row's argument; a Float is kept in KEEP until the test ends.
std::vector<zl_value> arguments(const WaitFailure &c, std::optional<zt::Held> &keep) {
    if (std::isnan(c.arg)) return {};
    if (std::string(c.method) == "read") return {zelt::integer(static_cast<int64_t>(c.arg))};
    keep.emplace(zelt::flt(c.arg));
    return {*keep};
}

TEST_P(WaitFailures, FailAsDocumentedAndLeaveTheStreamWorking) {
    const WaitFailure &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::write_all(pipe.peer.get(), c.data);
    if (*c.data) pipe.peer.reset(); // then end of stream: no call blocks for good
    zt::Io io(std::move(pipe.near));
    std::optional<zt::Held> keep;
    const std::vector<zl_value> args = arguments(c, keep);
    const std::string receiver = zelt::inspect(io);

    Outcome got;
    std::chrono::steady_clock::duration took{};
    {
        zf::Fault fault({.sys = c.sys, .err = c.err, .key = fd, .times = c.times});
        const auto start = std::chrono::steady_clock::now();
        got = call(io, c.method, args);
        took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(fault.hits(), c.times) << "the failure was not made where the row says";
    }
    const std::string answer = c.answer ? c.answer : receiver;
    EXPECT_TRUE(starts(got.text, answer)) << got.text << ", not " << answer;
    EXPECT_EQ(got.err, c.answer_err) << got.text;
    EXPECT_GE(took, std::chrono::milliseconds(c.at_least_ms)) << "a failure cut the wait short";

    const std::string again = c.again ? c.again : receiver;
    EXPECT_EQ(call(io, c.method, args).text, again) << "the stream after the failure";
}

INSTANTIATE_TEST_SUITE_P(Faults, WaitFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace faults_test
