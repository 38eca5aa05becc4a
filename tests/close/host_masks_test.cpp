// host_masks_test.cpp: the runtime leaves the threads' signal masks to the
// program. A wait runs with its thread's mask as it is at the wait (a
// handler's, in a handler), and a close ends it whatever that mask; a wake
// signal goes only to a thread blocked on the stream, and none is left
// pending on a thread once its call has returned; programs the program
// starts inherit its own mask.
#include "syscall_hold.hpp" // Hold, Call

#include <in_syscall.hpp>   // zh::blocks_in
#include <kernel.hpp>       // make_pipe, Io, write_all, require_wait
#include <masks.hpp>        // current_mask, same_signals
#include <syscall_seen.hpp> // zt::ppoll_seen
#include <test_hooks.hpp>   // close_scanned, wakes_sent
#include <zelt/embed.hpp>   // call, inspect, wake_signal

#include <atomic>        // the handlers' marks
#include <cerrno>        // errno, kept by the handler
#include <chrono>        // bounds
#include <csignal>       // sigset_t, sigpending, sigaction
#include <cstdio>        // snprintf: a mask as /proc shows it
#include <future>        // waits and closes on their own threads
#include <gtest/gtest.h> // TEST_P
#include <poll.h>        // ppoll: the program's own
#include <pthread.h>     // pthread_sigmask
#include <spawn.h>       // posix_spawn
#include <string>        // outcomes
#include <sys/wait.h>    // waitpid
#include <thread>        // yield
#include <unistd.h>      // fork, execv, pipe, gettid, tgkill

extern char **environ; // passed on to the programs started

namespace close_test {
namespace {

using namespace std::chrono_literals;

std::string outcome(zl_value io, const char *method) {
    try {
        zl_value v = zelt::call(io, method);
        std::string shown = zelt::inspect(v);
        if (zelt::is_string(v)) zelt::release(v);
        return shown;
    } catch (const zelt::Error &e) {
        return e.what();
    }
}

sigset_t mask_of(std::initializer_list<int> blocked, bool all = false) {
    sigset_t s;
    all ? sigfillset(&s) : sigemptyset(&s);
    for (int sig : blocked) sigaddset(&s, sig);
    return s;
}

bool wake_pending() {
    sigset_t p;
    sigpending(&p);
    return sigismember(&p, zelt::wake_signal()) == 1;
}

// ---- a close ends a wait whatever the mask -----------------------------------

struct MaskCase {
    const char *name;
    bool wake_blocked_at_first_call; // the mask the thread had at its first call
    bool all_blocked_at_wait;        // and at the wait: all maskable blocked, or all open
};

void PrintTo(const MaskCase &c, std::ostream *os) { *os << c.name; }

const MaskCase kMasks[] = {
    {"unblocked_after_first_call", true, false},
    {"open_throughout", false, false},
    {"all_blocked_at_the_wait", false, true},
};

class MaskAtTheWait : public ::testing::TestWithParam<MaskCase> {};

// The close lands while the wait is held between its closed check and its
// ppoll: a wake the handler takes there is lost, and the close sends again.
TEST_P(MaskAtTheWait, ACloseLandingBeforeThePpollEndsIt) {
    zt::require_wait();
    const MaskCase &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    Hold hold(Call::Ppoll, fd);
    auto waiter = std::async(std::launch::async, [&] {
        const sigset_t first =
            c.wake_blocked_at_first_call ? mask_of({zelt::wake_signal()}) : mask_of({});
        pthread_sigmask(SIG_SETMASK, &first, nullptr);
        zelt::call(io, "nread"); // the thread's first call
        const sigset_t later = c.all_blocked_at_wait ? mask_of({}, true) : mask_of({});
        pthread_sigmask(SIG_SETMASK, &later, nullptr);
        const sigset_t set = zt::current_mask(); // less what cannot be blocked
        std::string got = outcome(io, "wait");
        if (!zt::same_signals(zt::current_mask(), set)) got += " (mask changed)";
        if (wake_pending()) got += " (wake signal pending)";
        return got;
    });
    hold.await_reached();
    auto closer = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    while (!zelt::test_hooks::close_scanned(io)) std::this_thread::yield();
    hold.release();
    if (waiter.wait_for(2s) == std::future_status::timeout) {
        zt::write_all(pipe.peer.get(), "x"); // free it, then fail
        ADD_FAILURE() << "the wait slept through the close";
    }
    EXPECT_EQ(waiter.get(), "IOError: closed stream");
    EXPECT_EQ(closer.wait_for(2s), std::future_status::ready);
}

INSTANTIATE_TEST_SUITE_P(Masks, MaskAtTheWait, ::testing::ValuesIn(kMasks),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- a wait runs with the thread's mask as it is at the wait -----------------

std::atomic<bool> usr2_seen{false};
void on_usr2(int) { usr2_seen = true; }

// The thread blocks SIGUSR2 for its first call, then opens it and says
// nothing: a SIGUSR2 sent while it waits runs the program's handler during
// the wait, not only once the wait has ended.
TEST(MaskAtEachWait, AWaitRunsWithTheMaskTheThreadHasNow) {
    zt::require_wait();
    struct sigaction action = {}, old = {};
    action.sa_handler = on_usr2;
    sigaction(SIGUSR2, &action, &old);
    usr2_seen = false;
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        const sigset_t first = mask_of({SIGUSR2});
        pthread_sigmask(SIG_SETMASK, &first, nullptr);
        zelt::call(io, "nread"); // the thread's first call
        const sigset_t open = mask_of({});
        pthread_sigmask(SIG_SETMASK, &open, nullptr);
        tid = gettid();
        return outcome(io, "wait");
    });
    while (!tid) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(tid, zt::ppoll_seen(), 2s));
    tgkill(getpid(), tid, SIGUSR2);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!usr2_seen && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    const bool during_the_wait = usr2_seen;
    zt::write_all(pipe.peer.get(), "x"); // ends the wait
    EXPECT_EQ(waiter.get(), "#<IO:fd " + std::to_string(zelt::call(io, "fileno") >> 1) + ">");
    EXPECT_TRUE(during_the_wait) << "SIGUSR2 stayed blocked through the wait";
    sigaction(SIGUSR2, &old, nullptr);
}

// A wait made by a handler keeps the handler's mask: its own signal, raised
// again inside the handler, stays blocked through the wait and runs the
// handler once more only after it returns, never inside it.
std::atomic<int> alarm_depth{0}, alarm_deepest{0}, alarms{0};
zl_value alarm_io;
zelt::Id wait_id;
zl_value alarm_limit[1]; // 10 ms, made in the test: a handler allocates nothing

extern "C" void wait_in_alarm(int) {
    const int saved = errno;
    const int depth = alarm_depth.fetch_add(1) + 1;
    if (depth > alarm_deepest.load()) alarm_deepest.store(depth);
    if (alarms.fetch_add(1) == 0) {
        pthread_kill(pthread_self(), SIGALRM); // blocked here: pending until the handler returns
        zelt::call(alarm_io, wait_id, 1, alarm_limit);
    }
    alarm_depth.fetch_sub(1);
    errno = saved;
}

TEST(MaskAtEachWait, AWaitInAHandlerKeepsTheHandlersMask) {
    zt::require_wait();
    zt::Ends pipe = zt::make_pipe(); // nothing comes: the wait runs out its limit
    zt::Io io(std::move(pipe.near));
    alarm_io = io.value();
    wait_id = zelt::intern("wait");
    alarm_limit[0] = zelt::flt(0.01);
    alarm_depth = 0;
    alarm_deepest = 0;
    alarms = 0;
    struct sigaction action = {}, old = {};
    action.sa_handler = wait_in_alarm;
    sigaction(SIGALRM, &action, &old);
    std::thread([&] {
        const sigset_t open = mask_of({});
        pthread_sigmask(SIG_SETMASK, &open, nullptr);
        zelt::call(io, "nread"); // the thread's first call, never a handler's
        pthread_kill(pthread_self(), SIGALRM);
        while (alarms.load() < 2)
            std::this_thread::yield(); // the second runs once the first returns
    }).join();
    sigaction(SIGALRM, &old, nullptr);
    EXPECT_EQ(alarms.load(), 2);
    EXPECT_EQ(alarm_deepest.load(), 1) << "SIGALRM ran its handler inside the handler's wait";
}

// ---- a fill signals the waiters, not every thread in a call ------------------

TEST(FillWake, NoSignalOutlivesTheCallOfAThreadThatWasNotWaiting) {
    zt::require_wait();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    std::atomic<pid_t> waiter_tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        waiter_tid = ::gettid();
        return outcome(io, "wait");
    });
    while (!waiter_tid.load()) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(waiter_tid.load(), zt::ppoll_seen(), 5000ms));

    Hold hold(Call::Ioctl, fd); // an nread in flight while the fill wakes the waiter
    auto counter = std::async(std::launch::async, [&] {
        const sigset_t own = mask_of({zelt::wake_signal()}); // the program blocks it here
        pthread_sigmask(SIG_SETMASK, &own, nullptr);
        std::string got = outcome(io, "nread");
        if (wake_pending()) got += " (wake signal pending)";
        zt::Ends idle = zt::make_pipe();
        pollfd pfd = {idle.near.get(), POLLIN, 0};
        const timespec limit = {0, 20'000'000};
        const sigset_t none = mask_of({});
        if (::ppoll(&pfd, 1, &limit, &none) != 0) got += " (its own ppoll was interrupted)";
        return got;
    });
    hold.await_reached();
    zt::write_all(pipe.peer.get(), "a\nb\n");
    EXPECT_EQ(outcome(io, "gets"), "\"a\\n\""); // reads both lines ahead: a fill
    EXPECT_EQ(waiter.wait_for(2s), std::future_status::ready) << "the fill did not wake the wait";
    hold.release();
    EXPECT_EQ(counter.get(), "0");
    const std::string woke = waiter.get(); // by the input, or by the fill that took it
    EXPECT_TRUE(woke == "nil" || woke == zelt::inspect(io)) << woke;
}

// A fill whose one wake the handler takes before the waiter's ppoll (the
// waiter's mask leaves the signal open): the wait still ends on the input.
TEST(FillWake, AWakeTakenBeforeThePpollStillEndsTheWait) {
    zt::require_wait();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    Hold hold(Call::Ppoll, fd); // the waiter, past its checks
    auto waiter = std::async(std::launch::async, [&] {
        const sigset_t open = mask_of({});
        pthread_sigmask(SIG_SETMASK, &open, nullptr);
        return outcome(io, "wait");
    });
    hold.await_reached();
    zt::write_all(pipe.peer.get(), "a\nb\n");
    const unsigned long sent = zelt::test_hooks::wakes_sent();
    auto reader = std::async(std::launch::async, [&] { return outcome(io, "gets"); });
    while (zelt::test_hooks::wakes_sent() == sent) std::this_thread::yield(); // the fill's wake
    hold.release();
    EXPECT_EQ(reader.get(), "\"a\\n\"");
    if (waiter.wait_for(2s) == std::future_status::timeout) {
        zt::write_all(pipe.peer.get(), "c\n"); // free it, then fail
        ADD_FAILURE() << "the wait slept past buffered input";
    }
    EXPECT_EQ(waiter.get(), "nil");
}

// ---- programs started inherit the program's mask -----------------------------

enum class Start { PosixSpawn, ForkExec };

struct StartCase {
    const char *name;
    Start how;
    bool block_usr2; // the program's own mask: empty, or SIGUSR2 blocked
};

void PrintTo(const StartCase &c, std::ostream *os) { *os << c.name; }

const StartCase kStarts[] = {
    {"posix_spawn_empty_mask", Start::PosixSpawn, false},
    {"posix_spawn_usr2_blocked", Start::PosixSpawn, true},
    {"fork_exec_empty_mask", Start::ForkExec, false},
    {"fork_exec_usr2_blocked", Start::ForkExec, true},
};

std::string shown(const sigset_t &mask) { // as /proc/PID/status shows SigBlk
    unsigned long long bits = 0;
    for (int sig = 1; sig <= 64; ++sig)
        if (sigismember(&mask, sig) == 1) bits |= 1ull << (sig - 1);
    char text[32];
    std::snprintf(text, sizeof text, "SigBlk:\t%016llx\n", bits);
    return text;
}

// The started program's own SigBlk line, read back through a pipe.
std::string started_mask(Start how) {
    int out[2];
    if (::pipe(out) != 0) return "pipe failed";
    char arg0[] = "grep", arg1[] = "SigBlk", arg2[] = "/proc/self/status";
    char *argv[] = {arg0, arg1, arg2, nullptr};
    pid_t pid = -1;
    if (how == Start::PosixSpawn) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawnp(&pid, "grep", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
    } else if ((pid = ::fork()) == 0) {
        ::dup2(out[1], 1);
        ::execvp("grep", argv);
        _exit(127);
    }
    ::close(out[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) text.append(chunk, n);
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

class StartedPrograms : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartedPrograms, InheritTheProgramsMask) {
    zt::require_wait();
    const StartCase &c = GetParam();
    auto thread = std::async(std::launch::async, [&] { // a thread of the program's
        const sigset_t own = c.block_usr2 ? mask_of({SIGUSR2}) : mask_of({});
        pthread_sigmask(SIG_SETMASK, &own, nullptr);
        zt::Ends pipe = zt::make_pipe();
        zt::Io io(std::move(pipe.near));
        zelt::call(io, "nread"); // its first call
        auto waiter = std::async(std::launch::async, [&] { return outcome(io, "wait"); });
        zelt::call(io, "close"); // a close, and perhaps a wake
        waiter.get();
        return std::pair{shown(own), started_mask(c.how)};
    });
    auto [expected, got] = thread.get();
    EXPECT_EQ(got, expected);
}

INSTANTIATE_TEST_SUITE_P(Starts, StartedPrograms, ::testing::ValuesIn(kStarts),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
