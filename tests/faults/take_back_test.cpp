// take_back_test.cpp: a wake signal that reaches a waiter outside the kernel's
// ppoll, while the waiter's own mask blocks it, is taken back before the call
// returns: the program never finds the runtime's signal pending on its
// thread. The waiter's ppoll is held at its gate, where the thread's own mask
// is in force, while the close sends; let go, it returns EINTR without
// entering the kernel, as a ppoll that ended just before the signal came.
// The program's own wake signal pending there runs the program's handler.
#include "calls.hpp"    // call, call_on_thread, returned_within_seconds, closed_stream
#include "injector.hpp" // zf::Fault, zf::Sys

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <zelt/embed.hpp> // wake_signal

#include <atomic>        // the waiter's thread id
#include <cerrno>        // EINTR
#include <chrono>        // the bound on the close's first send
#include <csignal>       // sigset_t, sigpending
#include <cstdio>        // fflush: the report, before a hung call ends the run
#include <cstdlib>       // _Exit
#include <future>        // the waiter, on a thread of its own
#include <gtest/gtest.h> // TEST_P
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
// runtime's: the take-back opens the signal, so the program's handler runs
// for it there, as it would have in the ppoll a moment before; nothing is
// left pending.
std::atomic<int> programs_handled{0};
std::atomic<pid_t> handled_on{0};
extern "C" void programs_own(int) {
    handled_on = ::gettid();
    programs_handled.fetch_add(1);
}

class TakeBackWithTheProgramsOwn : public ::testing::Test {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_F(TakeBackWithTheProgramsOwn, ItsHandlerRunsOnceAndNothingIsLeftPending) {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    struct sigaction action = {}, old = {};
    action.sa_handler = programs_own;
    sigaction(zelt::wake_signal(), &action, &old); // the close keeps it and puts its own back
    programs_handled = 0;
    zf::Fault held({.sys = Sys::Ppoll, .err = EINTR, .key = fd, .any_thread = true, .hold = true});
    zf::Fault sends(
        {.sys = Sys::Sigqueue, .key = zelt::wake_signal(), .times = 0, .any_thread = true});
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        sigset_t wake, old_mask;
        sigemptyset(&wake);
        sigaddset(&wake, zelt::wake_signal());
        pthread_sigmask(SIG_BLOCK, &wake, &old_mask); // the program's own mask blocks it
        tid = ::gettid();
        Left left;
        left.got = call(io, "wait");
        sigset_t pending;
        sigpending(&pending);
        left.pending = sigismember(&pending, zelt::wake_signal()) == 1;
        const timespec now = {0, 0};
        siginfo_t info = {};
        if (left.pending) sigtimedwait(&wake, &info, &now); // not to the process's handler
        pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
        return left;
    });
    held.await_held();
    ASSERT_EQ(::syscall(SYS_tgkill, ::getpid(), tid.load(), zelt::wake_signal()), 0);
    auto closing = call_on_thread(io, "close");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (sends.seen() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::yield(); // the close sends only once it has scanned
    EXPECT_GE(sends.seen(), 1u) << "the close sent no wake to the held waiter";
    held.release();
    if (waiter.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the call never returned";
        std::fflush(stdout);
        std::_Exit(1); // the waiting thread cannot be joined
    }
    const Left left = waiter.get();
    EXPECT_EQ(returned_within_seconds(closing).text, "nil");
    EXPECT_EQ(left.got.text, closed_stream());
    EXPECT_FALSE(left.pending) << "a wake signal outlived the call";
    EXPECT_EQ(programs_handled.load(), 1) << "the program's own signal, by its handler";
    EXPECT_EQ(handled_on.load(), tid.load()) << "handled on another thread";
    sigaction(zelt::wake_signal(), &old, nullptr);
}

} // namespace
} // namespace faults_test
