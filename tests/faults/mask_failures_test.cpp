// mask_failures_test.cpp: the runtime's signal-mask calls, refused.
// - Opening the wake signal around a terminal's read(2): a call that cannot
//   make itself wakeable must not sleep where a close cannot end it: it
//   raises SystemCallError naming the errno, keeps every byte, and leaves the
//   thread's mask as it found it. Each row runs on a thread of its own,
//   warmed by one call first, so that the mask calls it counts are the row's.
// - A blocking wait reading its thread's mask: it takes an empty one instead
//   (with the wake signal open, as always), so the call goes on and a close
//   still ends the wait.
#include "calls.hpp"    // call, Outcome, close_within_seconds, closed_stream, starts
#include "injector.hpp" // zf::Fault, zf::Sys

#include <kernel.hpp>     // make_pipe, make_pty, Io, write_all, require_wait
#include <masks.hpp>      // current_mask, same_signals
#include <zelt/embed.hpp> // call, wake_signal

#include <atomic>           // what the waiting thread saw
#include <cerrno>           // EINVAL
#include <chrono>           // the bound on reaching the wait
#include <csignal>          // sigset_t, SIG_UNBLOCK
#include <future>           // the row's thread
#include <gtest/gtest.h>    // TEST_P
#include <in_syscall.hpp>   // zh::blocks_in
#include <pthread.h>        // pthread_sigmask: the row's thread blocks the wake signal
#include <string>           // outcomes
#include <syscall_seen.hpp> // zt::ppoll_seen
#include <thread>           // yield
#include <unistd.h>         // gettid

namespace faults_test {
namespace {

using zf::Sys;

zt::Ends pty_with(const char *data) {
    zt::Ends e = zt::make_pty();
    zt::write_all(e.peer.get(), data);
    return e;
}

struct MaskFailure {
    const char *name;
    zt::Ends (*make)(const char *data);
    const char *method;
    int how;             // the mask call refused, or zf::kAnyKey for any
    const char *waiting; // nread after the failure: nothing lost
    bool block_wake;     // the row's thread blocks the wake signal, so the call opens it
    const char *pending; // why the row cannot hold on today's runtime
};

void block_wake_here() {
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, zelt::wake_signal());
    pthread_sigmask(SIG_BLOCK, &wake, nullptr); // a host's choice: the runtime must cope
}

void PrintTo(const MaskFailure &c, std::ostream *os) { *os << c.name; }

const MaskFailure kFailures[] = {
    {"terminal_read_cannot_open_the_signal", pty_with, "gets", SIG_UNBLOCK, "5", true, nullptr},
};

struct Seen {
    Outcome got;
    unsigned hits = 0;
    bool same_mask = false;
    std::string waiting;
};

class MaskFailures : public ::testing::TestWithParam<MaskFailure> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(MaskFailures, RaiseBeforeSleepingAndLeaveTheMask) {
    const MaskFailure &c = GetParam();
    if (c.pending) GTEST_SKIP() << "pending: " << c.pending;
    zt::Ends ends = c.make("line\n");
    zt::Io io(std::move(ends.near));
    Seen seen = std::async(std::launch::async, [&] {
                    if (c.block_wake) block_wake_here();
                    zt::Ends warm = zt::make_pipe();
                    zt::Io first(std::move(warm.near));
                    call(first, "nread"); // the thread's first call, with its own mask calls
                    Seen s;
                    const sigset_t before = zt::current_mask();
                    {
                        zf::Fault fault({.sys = Sys::Sigmask, .err = EINVAL, .key = c.how});
                        s.got = call(io, c.method);
                        s.hits = fault.hits();
                    }
                    const sigset_t after = zt::current_mask();
                    s.same_mask = zt::same_signals(before, after);
                    s.waiting = call(io, "nread").text;
                    return s;
                }).get();
    EXPECT_EQ(seen.hits, 1u) << "no mask call refused where the row says";
    EXPECT_TRUE(starts(seen.got.text, "SystemCallError: EINVAL")) << seen.got.text;
    EXPECT_EQ(seen.got.err, EINVAL);
    EXPECT_TRUE(seen.same_mask) << "the call left the thread's mask changed";
    EXPECT_EQ(seen.waiting, c.waiting) << "bytes lost to the failure";
}

// A wait that sleeps on an empty pipe, on a thread of its own; its mask read
// is refused. The close from another thread must end it.
TEST(WaitMaskRead, RefusedTheWaitTakesAnEmptyMaskAndACloseEndsIt) {
    zt::require_wait();
    zt::Ends pipe = zt::make_pipe(); // the writer stays open: only the close ends the wait
    zt::Io io(std::move(pipe.near));
    std::atomic<pid_t> tid{0};
    std::atomic<unsigned> hits{0};
    std::atomic<bool> same_mask{false};
    auto waiting = std::async(std::launch::async, [&] {
        block_wake_here(); // a host's choice, which the wait's mask must not keep
        const sigset_t before = zt::current_mask();
        Outcome got = call(io, "nread"); // the thread's first call, which registers it
        {
            zf::Fault fault({.sys = Sys::Sigmask, .err = EINVAL, .key = SIG_BLOCK});
            tid = ::gettid();
            got = call(io, "wait"); // reads the mask as the wait starts
            hits = fault.hits();
        }
        same_mask = zt::same_signals(before, zt::current_mask());
        return got;
    });
    while (!tid.load()) std::this_thread::yield();
    if (!zh::blocks_in(tid.load(), zt::ppoll_seen(), std::chrono::seconds(10))) {
        zt::write_all(pipe.peer.get(), "x"); // lets it go, so that the run goes on
        FAIL() << "the first call did not get to its wait: " << waiting.get().text;
    }
    EXPECT_EQ(close_within_seconds(io).text, "nil"); // returns once no wait sleeps on
    const Outcome got = waiting.get();
    EXPECT_EQ(got.text, closed_stream()) << "the wait did not end by the close";
    EXPECT_EQ(hits.load(), 1u) << "the wait made no mask read";
    EXPECT_TRUE(same_mask.load()) << "the call left the thread's mask changed";
}

INSTANTIATE_TEST_SUITE_P(Faults, MaskFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace faults_test
