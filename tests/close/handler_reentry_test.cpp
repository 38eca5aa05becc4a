// handler_reentry_test.cpp: a signal handler that interrupts a thread inside
// one of the runtime's sections and calls into it is refused at once with
// SystemCallError EDEADLK; one that forks there forks. Neither hangs.
#include "bounded_child.hpp" // run_in_child: a hang is reported, not waited for

#include <kernel.hpp>     // make_pipe, Io
#include <test_hooks.hpp> // while_holding, Section
#include <zelt.h>         // zl_define_method, zl_cIO
#include <zelt/embed.hpp> // str, intern, require, call, wake_signal, Error

#include <cerrno>        // EDEADLK
#include <chrono>        // the child's limit
#include <csignal>       // sigaction, SIGUSR1, SIGUSR2
#include <gtest/gtest.h> // TEST_P
#include <pthread.h>     // pthread_kill: the signal lands on this thread, inside the section
#include <string>        // outcomes
#include <sys/wait.h>    // waitpid
#include <unistd.h>      // fork, _exit

namespace close_test {
namespace {

using namespace std::chrono_literals;
using zelt::test_hooks::Section;

zl_value defined_in_handler(zl_value) { return ZL_NIL; }

struct HandlerCase {
    const char *name;
    Section section;
    void (*call)(zl_value io); // what the handler calls: it needs the section
};

const HandlerCase kCases[] = {
    {"registry_makes_a_value", Section::Registry, [](zl_value) { zelt::release(zelt::str("x")); }},
    {"interning_interns", Section::Intern, [](zl_value) { zelt::intern("zt_in_a_handler"); }},
    {"definitions_define", Section::Define,
     [](zl_value) { zl_define_method(zl_cIO, "zt_in_a_handler", ZL_FUNC(defined_in_handler), 0); }},
    {"loader_requires", Section::Loader, [](zl_value) { zelt::require("zt_in_a_handler"); }},
    {"readers_turn_gets", Section::Turn, [](zl_value io) { zelt::call(io, "gets"); }},
    {"read_buffer_gets", Section::Buffer, [](zl_value io) { zelt::call(io, "gets"); }},
};

void PrintTo(const HandlerCase &c, std::ostream *os) { *os << c.name; }

// The handler's work and what came of it: one signal at a time, on one thread.
enum Outcome { kNotRun = 10, kReturned, kRefused, kOtherError, kForked, kForkFailed };
const HandlerCase *current = nullptr;
zl_value current_io = ZL_NIL;
volatile sig_atomic_t outcome = kNotRun;

void calls(int) {
    try {
        current->call(current_io);
        outcome = kReturned;
    } catch (const zelt::Error &e) {
        outcome =
            e.class_name() == "SystemCallError" && e.err() == EDEADLK ? kRefused : kOtherError;
    }
}

void forks(int) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    int status = -1;
    outcome =
        child > 0 && ::waitpid(child, &status, 0) == child && status == 0 ? kForked : kForkFailed;
}

int test_signal() { return zelt::wake_signal() == SIGUSR2 ? SIGUSR1 : SIGUSR2; }

// In a child: the section held, the signal sent to this very thread, whose
// handler runs before pthread_kill returns. The child's status: 0 when the
// handler's outcome is WANT, else the outcome.
int interrupt_section(const HandlerCase &c, void (*handler)(int), Outcome want) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    current = &c;
    current_io = io;
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(test_signal(), &action, nullptr);
    zelt::test_hooks::while_holding(
        c.section, io, [](void *) { ::pthread_kill(::pthread_self(), test_signal()); }, nullptr);
    return outcome == want ? 0 : outcome;
}

class HandlerInSection : public ::testing::TestWithParam<HandlerCase> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(HandlerInSection, ACallIsRefusedAtOnce) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer reports each allocation in a handler, which these make";
#endif
    EXPECT_EQ(run_in_child([] { return interrupt_section(GetParam(), calls, kRefused); }, 5000ms),
              "exit 0")
        << "exit " << kReturned << ": returned, " << kOtherError << ": another error";
}

TEST_P(HandlerInSection, AForkForks) {
    EXPECT_EQ(run_in_child([] { return interrupt_section(GetParam(), forks, kForked); }, 5000ms),
              "exit 0");
}

INSTANTIATE_TEST_SUITE_P(Sections, HandlerInSection, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
