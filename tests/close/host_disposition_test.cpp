// host_disposition_test.cpp: the program may do what it likes with the wake
// signal's disposition after load (its own handler, SIG_IGN, SIG_DFL); a close
// still ends every call on its stream, and the program's own handler still
// gets the signals the program sends, as do SIG_DFL and SIG_IGN, and runs as
// its flags say (SA_NODEFER, SA_RESETHAND, SA_ONSTACK).
// ZELT_WAKE_SIGNAL takes any signal that is safe to take, and refuses the
// others naming the reason.
#include "fallback_read.hpp" // park_in_read

#include <in_syscall.hpp>   // zh::blocks_in
#include <kernel.hpp>       // make_pipe, make_fifo, Io, Fd, write_all, require_wait
#include <syscall_seen.hpp> // zt::ppoll_seen
#include <zelt/embed.hpp>   // call, wake_signal

#include <atomic>        // the handler's count; the waiter's id
#include <cctype>        // isalnum: test names
#include <chrono>        // bounds
#include <csignal>       // sigaction, signal
#include <cstdlib>       // setenv, unsetenv, exit
#include <future>        // the call and the close
#include <gtest/gtest.h> // TEST_P, EXPECT_EXIT
#include <pthread.h>     // pthread_kill
#include <signal.h>      // sigaltstack, stack_t
#include <string>        // outcomes
#include <thread>        // yield
#include <unistd.h>      // dup, gettid

namespace close_test {
namespace {

using namespace std::chrono_literals;

std::atomic<int> host_handled{0};
extern "C" void host_handler(int) { host_handled.fetch_add(1); }

enum class Host { Handler, Ignore, Default };
enum class Blocked { InWait, InFallbackRead };

struct DispositionCase {
    const char *name;
    Host host;
    Blocked where;
};

void PrintTo(const DispositionCase &c, std::ostream *os) { *os << c.name; }

const DispositionCase kDispositions[] = {
    {"handler_wait", Host::Handler, Blocked::InWait},
    {"handler_fallback_read", Host::Handler, Blocked::InFallbackRead},
    {"ignored_wait", Host::Ignore, Blocked::InWait},
    {"ignored_fallback_read", Host::Ignore, Blocked::InFallbackRead},
    {"default_wait", Host::Default, Blocked::InWait},
    {"default_fallback_read", Host::Default, Blocked::InFallbackRead},
};

class HostDisposition : public ::testing::TestWithParam<DispositionCase> {
protected:
    void SetUp() override {
        zt::require_wait();
        sigaction(zelt::wake_signal(), nullptr, &saved_);
    }
    void TearDown() override { sigaction(zelt::wake_signal(), &saved_, nullptr); }

private:
    struct sigaction saved_ = {};
};

TEST_P(HostDisposition, ACloseEndsTheCallAndTheHostKeepsItsSignals) {
    const DispositionCase &c = GetParam();
    const int sig = zelt::wake_signal();
    zt::Ends ends = c.where == Blocked::InWait ? zt::make_pipe() : zt::make_fifo();
    const int fd = ends.near.get();
    zt::Fd thief(::dup(fd));
    zt::Io io(fd);
    ends.near.release();
    // After load, as a program sets up its own signals.
    if (c.host == Host::Handler)
        std::signal(sig, host_handler); // with SA_RESTART, as signal() installs it
    else
        std::signal(sig, c.host == Host::Ignore ? SIG_IGN : SIG_DFL);

    std::atomic<pid_t> tid{0};
    auto call = std::async(std::launch::async, [&] {
        tid = ::gettid();
        try {
            return zelt::inspect(zelt::call(io, c.where == Blocked::InWait ? "wait" : "gets"));
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    while (!tid.load()) std::this_thread::yield();
    if (c.where == Blocked::InWait)
        ASSERT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms));
    else
        ASSERT_TRUE(park_in_read(ends, fd, thief.get(), tid.load()));
    auto closer = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    if (call.wait_for(2s) == std::future_status::timeout) {
        zt::write_all(ends.peer.get(), "x\n"); // free it, then fail
        ADD_FAILURE() << "the call outlived the close";
    }
    EXPECT_EQ(call.get(), "IOError: closed stream");
    EXPECT_EQ(closer.wait_for(2s), std::future_status::ready) << "the close did not return";
    closer.wait();

    if (c.host == Host::Handler) { // the program's own signal still reaches its handler
        const int before = host_handled.load();
        pthread_kill(pthread_self(), sig);
        EXPECT_EQ(host_handled.load(), before + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Dispositions, HostDisposition, ::testing::ValuesIn(kDispositions),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- the program's handler flags, carried over -------------------------------------
// The program installs its handler after load, a close takes the signal back
// (keeping the program's action), and then the program signals itself: its
// handler runs as the flags it asked for say.

std::atomic<int> flagged_runs{0}, flagged_depth{0}, flagged_deepest{0};
std::atomic<bool> on_alt_stack{false};
char alt_stack[64 * 1024];

extern "C" void flagged_handler(int sig) {
    const char here = 0;
    on_alt_stack = &here >= alt_stack && &here < alt_stack + sizeof alt_stack;
    const int depth = flagged_depth.fetch_add(1) + 1;
    if (depth > flagged_deepest.load()) flagged_deepest.store(depth);
    if (flagged_runs.fetch_add(1) == 0) pthread_kill(pthread_self(), sig); // inside, or after
    flagged_depth.fetch_sub(1);
}

struct FlagsCase {
    const char *name;
    int flags;
    int runs;    // after the program's one signal (and the one its handler raises)
    int deepest; // 2: the raise ran the handler inside itself
    bool alt;    // ran on the thread's alternate stack
    bool dfl;    // the disposition is SIG_DFL afterwards
};

void PrintTo(const FlagsCase &c, std::ostream *os) { *os << c.name; }

const FlagsCase kFlags[] = {
    {"none", 0, 2, 1, false, false},
    {"nodefer", SA_NODEFER, 2, 2, false, false},
    {"resethand", static_cast<int>(SA_RESETHAND), 1, 1, false, true}, // SIGURG's SIG_DFL: nothing
    {"onstack", SA_ONSTACK, 2, 1, true, false},
};

class HostFlags : public ::testing::TestWithParam<FlagsCase> {};

// A close that wakes a waiter asleep in its ppoll; false if the waiter never
// got there.
bool close_over_a_waiter() {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        tid = ::gettid();
        try {
            zelt::call(io, "wait");
        } catch (const zelt::Error &) {
        }
    });
    while (!tid.load()) std::this_thread::yield();
    const bool asleep = zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms);
    zelt::call(io, "close");
    waiter.get();
    return asleep;
}

TEST_P(HostFlags, TheProgramsHandlerRunsAsItsFlagsSay) {
    zt::require_wait();
    const FlagsCase &c = GetParam();
    const int sig = zelt::wake_signal();
    if (sig != SIGURG) GTEST_SKIP() << "the reset row counts on SIGURG's default";
    struct sigaction saved = {};
    sigaction(sig, nullptr, &saved);
    std::thread([&] {
        stack_t alt = {};
        alt.ss_sp = alt_stack;
        alt.ss_size = sizeof alt_stack;
        sigaltstack(&alt, nullptr);
        struct sigaction action = {};
        action.sa_handler = flagged_handler;
        action.sa_flags = c.flags;
        sigaction(sig, &action, nullptr);   // after load: the program's own
        EXPECT_TRUE(close_over_a_waiter()); // takes the signal back, the program's action kept
        flagged_runs = 0;
        flagged_deepest = 0;
        on_alt_stack = false;
        pthread_kill(pthread_self(), sig);
        struct sigaction now = {};
        sigaction(sig, nullptr, &now);
        EXPECT_EQ(flagged_runs.load(), c.runs);
        EXPECT_EQ(flagged_deepest.load(), c.deepest);
        EXPECT_EQ(on_alt_stack.load(), c.alt);
        EXPECT_EQ(now.sa_handler == SIG_DFL, c.dfl);
        stack_t off = {};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
    }).join();
    sigaction(sig, &saved, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Flags, HostFlags, ::testing::ValuesIn(kFlags),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- ZELT_WAKE_SIGNAL -------------------------------------------------------------

struct ChoiceCase {
    const char *value;
    int signal;         // the one taken: the value's, or SIGURG when refused
    const char *stderr; // what the refusal says (a regular expression)
};

void PrintTo(const ChoiceCase &c, std::ostream *os) { *os << c.value; }

const ChoiceCase kChoices[] = {
    {"SIGUSR2", SIGUSR2, "^$"},
    {"USR1", SIGUSR1, "^$"},
    {"SIGINT", SIGINT, "^$"},
    {"SIGTERM", SIGTERM, "^$"},
    {"HUP", SIGHUP, "^$"},
    {"SIGPOLL", SIGIO, "^$"},
    {"12", 12, "^$"},
    {"SIGRTMIN", SIGRTMIN, "^$"},
    {"SIGRTMIN+3", SIGRTMIN + 3, "^$"},
    {"SIGRTMAX", SIGRTMAX, "^$"},
    {"RTMAX-2", SIGRTMAX - 2, "^$"},
    {"64", 64, "^$"},
    {"SIGKILL", SIGURG, "=SIGKILL cannot be caught; using SIGURG"},
    {"19", SIGURG, "=19 cannot be caught"},
    {"SIGSTOP", SIGURG, "=SIGSTOP cannot be caught"},
    {"SIGSEGV", SIGURG, "=SIGSEGV is raised by faults"},
    {"SIGBUS", SIGURG, "is raised by faults"},
    {"SIGFPE", SIGURG, "is raised by faults"},
    {"SIGILL", SIGURG, "is raised by faults"},
    {"SIGTRAP", SIGURG, "is raised by faults"},
    {"SIGSYS", SIGURG, "=SIGSYS is raised by faults"},
    {"SIGABRT", SIGURG, "or abort"},
    {"32", SIGURG, "=32 is reserved by the C library"},
    {"33", SIGURG, "=33 is reserved by the C library"},
    {"RTMIN+-2", SIGURG, "names no signal"},
    {"RTMIN+31", SIGURG, "is out of range"},
    {"RTMAX-31", SIGURG, "is out of range"},
    {"65", SIGURG, "=65 is out of range \\(1 to 64\\)"},
    {"0", SIGURG, "is out of range"},
    {"-5", SIGURG, "names no signal"},
    {"SIGNOPE", SIGURG, "=SIGNOPE names no signal"},
    // whose SIG_IGN or SIG_DFL, or whose sending, means more to the kernel
    {"SIGCHLD", SIGURG, "=SIGCHLD means more than no handler: its SIG_IGN reaps exited children"},
    {"CLD", SIGURG, "its SIG_IGN reaps exited children"},
    {"SIGCONT", SIGURG, "=SIGCONT means more than a handler: each one sent resumes"},
    {"SIGTSTP", SIGURG, "=SIGTSTP is a job-control stop: each one sent drops a pending SIGCONT"},
    {"TTIN", SIGURG, "is a job-control stop"},
    {"22", SIGURG, "=22 is a job-control stop"},
    {"7x", SIGURG, "names no signal"},
};

class WakeSignalChoice : public ::testing::TestWithParam<ChoiceCase> {};

// In a fresh process that reads the variable at load: the signal it took,
// and a close that wakes a waiter with it kills nothing.
void take_and_wake(int expected) {
    zt::require_wait();
    if (zelt::wake_signal() != expected) std::exit(2);
    std::exit(close_over_a_waiter() ? 0 : 3);
}

TEST_P(WakeSignalChoice, TakesWhatIsSafeAndSaysWhyItRefuses) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator cannot re-execute the test binary for a death test";
#endif
    const ChoiceCase &c = GetParam();
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // re-executed: the variable read at load
    ::setenv("ZELT_WAKE_SIGNAL", c.value, 1);
    EXPECT_EXIT(take_and_wake(c.signal), ::testing::ExitedWithCode(0), c.stderr);
    ::unsetenv("ZELT_WAKE_SIGNAL");
}

INSTANTIATE_TEST_SUITE_P(Values, WakeSignalChoice, ::testing::ValuesIn(kChoices),
                         [](const auto &info) {
                             std::string name;
                             for (const char *p = info.param.value; *p; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p
                                         : *p == '+'                                  ? 'p'
                                                                                      : 'm';
                             return name;
                         });

// ---- the program's own wake signal, under the action it set ------------------------

struct ActionCase {
    const char *name;
    void (*action)(int);
    bool ends_the_process;
};

void PrintTo(const ActionCase &c, std::ostream *os) { *os << c.name; }

const ActionCase kActions[] = {
    {"default_ends_the_process", SIG_DFL, true},
    {"ignored_is_ignored", SIG_IGN, false},
};

class HostAction : public ::testing::TestWithParam<ActionCase> {};

// In a fresh process whose wake signal is SIGUSR1, whose default action ends
// the process: the program sets ACTION after load, a close takes the signal
// back (keeping ACTION as the program's), then the program sends itself one.
[[noreturn]] void own_signal_under(void (*action)(int)) {
    zt::require_wait();
    if (zelt::wake_signal() != SIGUSR1) std::exit(2);
    std::signal(SIGUSR1, action);
    if (!close_over_a_waiter()) std::exit(3);
    ::raise(SIGUSR1);
    std::exit(0);
}

TEST_P(HostAction, TheProgramsOwnSignalMeetsItsAction) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator cannot re-execute the test binary for a death test";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // re-executed: the variable read at load
    ::setenv("ZELT_WAKE_SIGNAL", "SIGUSR1", 1);
    if (GetParam().ends_the_process) {
        EXPECT_EXIT(own_signal_under(GetParam().action), ::testing::KilledBySignal(SIGUSR1), "");
    } else {
        EXPECT_EXIT(own_signal_under(GetParam().action), ::testing::ExitedWithCode(0), "");
    }
    ::unsetenv("ZELT_WAKE_SIGNAL");
}

INSTANTIATE_TEST_SUITE_P(Actions, HostAction, ::testing::ValuesIn(kActions),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
