// take_back_test.cpp: a wake signal that reaches a waiter outside the kernel's
// ppoll, while the waiter's own mask blocks it, is taken back before the call
// returns: the program never finds the runtime's signal pending on its
// thread. The waiter's ppoll is held at its gate, where the thread's own mask
// is in force, while the close sends; let go, it returns EINTR without
// entering the kernel, as a ppoll that ended just before the signal came.
// The program's own wake signal pending there is queued again, or lost if
// the kernel refuses that.
#include "calls.hpp"    // call, call_on_thread, returned_within_seconds, closed_stream
#include "injector.hpp" // zf::Fault, zf::Sys

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <zelt/embed.hpp> // wake_signal

#include <atomic>        // the waiter's thread id
#include <cerrno>        // EINTR, EAGAIN
#include <chrono>        // the bound on the close's first send
#include <csignal>       // sigset_t, sigpending
#include <cstdio>        // fflush: the report, before a hung call ends the run
#include <cstdlib>       // _Exit
#include <future>        // the waiter, on a thread of its own
#include <gtest/gtest.h> // TEST_P
#include <optional>      // the refusal, when the row makes one
#include <pthread.h>     // pthread_sigmask
#include <string>        // names
#include <sys/syscall.h> // SYS_tgkill: the program's own signal to the waiter
#include <thread>        // yield
#include <unistd.h>      // syscall, getpid, gettid

namespace faults_test {
namespace {

using zf::Sys;

struct Waiter {
    const char *name;
    const char *method; // wait, or gets waiting for its fill
};

void PrintTo(const Waiter &c, std::ostream *os) { *os << c.name; }

const Waiter kWaiters[] = {
    {"wait", "wait"},
    {"gets_fill", "gets"},
};

struct Left {
    Outcome got;
    bool pending = false; // the wake signal, once the call has returned
};

class TakeBack : public ::testing::TestWithParam<Waiter> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(TakeBack, NoWakeIsLeftPendingWhenTheCallReturns) {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    zf::Fault held({.sys = Sys::Ppoll, .err = EINTR, .key = fd, .any_thread = true, .hold = true});
    zf::Fault sends(
        {.sys = Sys::Sigqueue, .key = zelt::wake_signal(), .times = 0, .any_thread = true});
    auto waiter = std::async(std::launch::async, [&] {
        sigset_t wake, old;
        sigemptyset(&wake);
        sigaddset(&wake, zelt::wake_signal());
        pthread_sigmask(SIG_BLOCK, &wake, &old); // the program's own mask blocks it
        Left left;
        left.got = call(io, GetParam().method);
        sigset_t pending;
        sigpending(&pending);
        left.pending = sigismember(&pending, zelt::wake_signal()) == 1;
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return left;
    });
    held.await_held();
    auto closing = call_on_thread(io, "close");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sends.seen() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield(); // the close sends only once it has scanned
    EXPECT_GE(sends.seen(), 1u) << "the close sent no wake to the held waiter";
    held.release();
    const Left left = waiter.get();
    EXPECT_EQ(returned_within_seconds(closing).text, "nil");
    EXPECT_EQ(left.got.text, closed_stream());
    EXPECT_FALSE(left.pending) << "the runtime's wake outlived the call";
}

INSTANTIATE_TEST_SUITE_P(Faults, TakeBack, ::testing::ValuesIn(kWaiters),
                         [](const auto &info) { return std::string(info.param.name); });

// The program's own wake signal, pending on the held waiter beside the
// runtime's: the take-back drains both and queues the program's again.
struct Requeue {
    const char *name;
    int err;           // the re-queue refused with this errno; 0: made
    bool host_pending; // the program's signal, once the call has returned
};

void PrintTo(const Requeue &c, std::ostream *os) { *os << c.name; }

const Requeue kRequeues[] = {
    {"made", 0, true},
    // refused: the program's signal is lost, as one the kernel never
    // delivered; the call still ends, with nothing of the runtime's pending
    {"refused", EAGAIN, false},
};

class TakeBackRequeue : public ::testing::TestWithParam<Requeue> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(TakeBackRequeue, TheProgramsSignalIsQueuedAgainOrLost) {
    const Requeue &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    zf::Fault held({.sys = Sys::Ppoll, .err = EINTR, .key = fd, .any_thread = true, .hold = true});
    std::optional<zf::Fault> sends; // counts until the refusal: the first that matches takes a call
    sends.emplace(
        zf::Rule{.sys = Sys::Sigqueue, .key = zelt::wake_signal(), .times = 0, .any_thread = true});
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        sigset_t wake, old;
        sigemptyset(&wake);
        sigaddset(&wake, zelt::wake_signal());
        pthread_sigmask(SIG_BLOCK, &wake, &old); // the program's own mask blocks it
        tid = ::gettid();
        Left left;
        left.got = call(io, "wait");
        sigset_t pending;
        sigpending(&pending);
        left.pending = sigismember(&pending, zelt::wake_signal()) == 1;
        const timespec now = {0, 0};
        siginfo_t info = {};
        if (left.pending) sigtimedwait(&wake, &info, &now); // not to the process's handler
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return left;
    });
    held.await_held();
    ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), tid.load(), zelt::wake_signal()), 0);
    auto closing = call_on_thread(io, "close");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sends->seen() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield(); // the close sends only once it has scanned
    EXPECT_GE(sends->seen(), 1u) << "the close sent no wake to the held waiter";
    sends.reset();
    unsigned refused = 0;
    {
        // the close's further rounds are refused too: its first wake is there
        std::optional<zf::Fault> requeue;
        if (c.err)
            requeue.emplace(zf::Rule{.sys = Sys::Sigqueue,
                                     .err = c.err,
                                     .key = zelt::wake_signal(),
                                     .times = zf::kEvery,
                                     .any_thread = true});
        held.release();
        if (waiter.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "the call never returned: a take-back that retries a refusal";
            std::fflush(stdout);
            std::_Exit(1); // the waiting thread cannot be joined
        }
        const Left left = waiter.get();
        EXPECT_EQ(returned_within_seconds(closing).text, "nil");
        EXPECT_EQ(left.got.text, closed_stream());
        EXPECT_EQ(left.pending, c.host_pending) << "the program's signal, after the call";
        if (requeue) refused = requeue->hits();
    }
    if (c.err) {
        EXPECT_GE(refused, 1u) << "no re-queue was refused";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, TakeBackRequeue, ::testing::ValuesIn(kRequeues),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace faults_test
