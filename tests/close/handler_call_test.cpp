// handler_call_test.cpp: calls made by signal handlers. A close in a handler
// that interrupted another close on the same thread neither deadlocks nor
// corrupts; a handler landing between a wait's checks and its ppoll, that
// waits on another stream or closes the waited one, leaves the wait to end
// at its stream's close; a call a handler makes between the two steps of a
// call's entry leaves the interrupted call named.
#include "syscall_hold.hpp" // Hold, Call

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <test_hooks.hpp> // calls_name, close_scanned
#include <zelt/embed.hpp> // call, intern

#include <atomic>        // the handler's counts
#include <cerrno>        // errno, kept by the handler
#include <chrono>        // the watchdog
#include <csignal>       // sigaction, SIGALRM, SIGTRAP, SIGUSR1
#include <future>        // the held wait, the close
#include <gtest/gtest.h> // TEST
#include <pthread.h>     // pthread_kill
#include <sys/time.h>    // setitimer
#include <sys/wait.h>    // waitpid
#include <thread>        // sleep_for: the watchdog's pace
#include <ucontext.h>    // the trap flag
#include <unistd.h>      // fork, _exit
#include <vector>        // the streams the handler closes

namespace close_test {
namespace {

using namespace std::chrono_literals;

// ---- a close from a handler, over closes on the same thread ----------------------

constexpr int kSignals = 200;
zelt::Id close_id;              // interned before any handler runs: interning locks
std::vector<zl_value> to_close; // one per signal, made before the timer starts
std::atomic<int> handled{0};

extern "C" void close_one(int) {
    const int i = handled.load();
    if (i >= kSignals) return;
    const int saved = errno; // the interrupted code's
    zelt::call(to_close[static_cast<std::size_t>(i)], close_id, 0, nullptr);
    errno = saved;
    handled.store(i + 1);
}

[[noreturn]] void closes_under_signals() {
    close_id = zelt::intern("close");
    std::vector<zt::Ends> pipes(kSignals);
    for (auto &p : pipes) {
        p = zt::make_pipe();
        to_close.push_back(zelt::io_new(p.near.release()));
    }
    // The thread's first call, which registers it, made here: never a handler's.
    zelt::call(to_close.front(), zelt::intern("closed?"), 0, nullptr);
    struct sigaction action = {};
    action.sa_handler = close_one;
    sigaction(SIGALRM, &action, nullptr);
    const itimerval every = {{0, 100}, {0, 100}};
    setitimer(ITIMER_REAL, &every, nullptr);
    while (handled.load() < kSignals) { // closes of its own, the handler's landing among them
        zt::Ends p = zt::make_pipe();
        zt::Io io(std::move(p.near));
        zelt::call(io, close_id, 0, nullptr);
    }
    const itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    for (zl_value io : to_close)
        if (zelt::io_fd(io) != -1) _exit(3); // every close took
    _exit(0);
}

TEST(HandlerCall, CloseInAHandlerOverAnotherCloseDoesNotDeadlock) {
    zt::require_wait();
    const pid_t child = ::fork(); // a process of its own: a deadlock is ended there
    if (child == 0) closes_under_signals();
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            FAIL() << "the closes deadlocked";
        }
        std::this_thread::sleep_for(10ms); // a child's progress: no event to wait on
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// ---- a host handler that lands between a wait's checks and its ppoll --------------

enum class InHandler { WaitOnAnother, CloseTheStream };

struct LandingCase {
    const char *name;
    InHandler does;
    bool limited; // wait(30), or a wait with no limit
};

void PrintTo(const LandingCase &c, std::ostream *os) { *os << c.name; }

const LandingCase kLandings[] = {
    {"a_wait_of_its_own_then_a_close_elsewhere", InHandler::WaitOnAnother, true},
    {"a_close_of_the_waited_stream", InHandler::CloseTheStream, true},
    {"a_wait_of_its_own_then_a_close_elsewhere_no_limit", InHandler::WaitOnAnother, false},
    {"a_close_of_the_waited_stream_no_limit", InHandler::CloseTheStream, false},
};

zl_value landing_io; // what the handler acts on
zelt::Id landing_id; // wait or close, interned beforehand
bool landing_closes; // close (no argument) rather than wait(5)
std::atomic<int> landed{0};

const zl_value landing_limit[] = {zelt::integer(5)}; // the handler's own wait's: it ends at once

extern "C" void act_on_landing(int) {
    zelt::call(landing_io, landing_id, landing_closes ? 0 : 1,
               landing_closes ? nullptr : landing_limit);
    landed.fetch_add(1);
}

class HandlerLanding : public ::testing::TestWithParam<LandingCase> {};

TEST_P(HandlerLanding, TheInterruptedWaitStillEnds) {
    zt::require_wait();
    const LandingCase &c = GetParam();
    const int host_signal = zelt::wake_signal() == SIGUSR1 ? SIGUSR2 : SIGUSR1;
    zt::Ends waited = zt::make_pipe(), other = zt::make_pipe();
    const int fd = waited.near.get();
    zt::write_all(other.peer.get(), "ready"); // the handler's own wait ends at once
    zt::Io io(std::move(waited.near)), ready(std::move(other.near));
    const bool closes = c.does == InHandler::CloseTheStream;
    landing_io = closes ? io.value() : ready.value();
    landing_id = zelt::intern(closes ? "close" : "wait");
    landing_closes = closes;
    struct sigaction action = {}, old = {};
    action.sa_handler = act_on_landing;
    sigaction(host_signal, &action, &old);

    Hold hold(Call::Ppoll, fd); // past the wait's checks, before its ppoll
    std::atomic<pthread_t> waiter_thread{};
    auto waiter = std::async(std::launch::async, [&] {
        waiter_thread = pthread_self();
        try {
            // With no limit too: the ppoll's far limit, which a wake from
            // its own thread's handler zeroes up to the system call.
            return zelt::inspect(c.limited ? zelt::call(io, "wait", {zelt::integer(30)})
                                           : zelt::call(io, "wait"));
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    hold.await_reached();
    const int before = landed.load();
    pthread_kill(waiter_thread.load(), host_signal);
    while (landed.load() == before) std::this_thread::yield();
    std::future<void> closer;
    if (!closes) {
        closer = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
        while (!zelt::test_hooks::close_scanned(io)) std::this_thread::yield();
    }
    hold.release();
    if (waiter.wait_for(2s) == std::future_status::timeout) {
        zt::write_all(waited.peer.get(), "x"); // free it, then fail
        ADD_FAILURE() << "the wait slept on past its stream's close";
    }
    EXPECT_EQ(waiter.get(), "IOError: closed stream");
    if (closer.valid()) {
        EXPECT_EQ(closer.wait_for(2s), std::future_status::ready);
    }
    sigaction(host_signal, &old, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Landings, HandlerLanding, ::testing::ValuesIn(kLandings),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- a handler's call between the two steps of a call's entry --------------------
// Single-stepping: the trap flag makes the kernel stop the thread after each
// instruction of a call with SIGTRAP, and the handler makes a call of its own
// there, so one lands between every two steps of the interrupted call.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
constexpr greg_t kTrapFlag = 0x100;
std::atomic<bool> stepping{false};
zl_value other_io;
zelt::Id nread_id;
std::atomic<long> steps{0};
zl_value checked_io;
std::atomic<int> named{-1}; // at the interrupted call's ioctl: 1 named, 0 not
void look() { named.store(zelt::test_hooks::calls_name(checked_io) ? 1 : 0); }

extern "C" void step(int, siginfo_t *, void *context) {
    auto *uc = static_cast<ucontext_t *>(context);
    if (!stepping.load()) {
        uc->uc_mcontext.gregs[REG_EFL] &= ~kTrapFlag;
        return;
    }
    steps.fetch_add(1);
    zelt::call(other_io, nread_id, 0, nullptr); // a call of the handler's, on another stream
}

extern "C" void start_stepping(int, siginfo_t *, void *context) {
    static_cast<ucontext_t *>(context)->uc_mcontext.gregs[REG_EFL] |= kTrapFlag;
}

TEST(HandlerCall, ACallBetweenTheTwoStepsOfAnEntryLeavesTheInterruptedCallNamed) {
    zt::require_wait();
    zt::Ends mine = zt::make_pipe(), theirs = zt::make_pipe();
    const int fd = mine.near.get();
    zt::Io io(std::move(mine.near)), other(std::move(theirs.near));
    other_io = other;
    nread_id = zelt::intern("nread");
    struct sigaction trap = {}, start = {}, old_trap = {}, old_start = {};
    trap.sa_sigaction = step;
    trap.sa_flags = SA_SIGINFO;
    start.sa_sigaction = start_stepping;
    start.sa_flags = SA_SIGINFO;
    sigaction(SIGTRAP, &trap, &old_trap);
    sigaction(SIGUSR2, &start, &old_start);

    zelt::call(io, nread_id, 0, nullptr); // registered: a thread's first call is no handler's
    checked_io = io;
    Probe probe(Call::Ioctl, fd, look); // at the call's ioctl: is it named?
    stepping.store(true);
    raise(SIGUSR2); // from its return on, every instruction traps
    zelt::call(io, nread_id, 0, nullptr);
    stepping.store(false); // the next trap turns the flag off

    sigaction(SIGTRAP, &old_trap, nullptr);
    sigaction(SIGUSR2, &old_start, nullptr);
    EXPECT_GT(steps.load(), 50) << "the call was not stepped";
    EXPECT_EQ(named.load(), 1) << "a handler's call took the interrupted call's slot";
}
#endif

} // namespace
} // namespace close_test
