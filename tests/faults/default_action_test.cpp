// default_action_test.cpp: the wake signal sent by the program itself while
// its action is SIG_DFL, one that ends the process (SIGUSR1, chosen with
// ZELT_WAKE_SIGNAL in a re-executed process): the handler puts SIG_DFL back
// with sigaction and raises the signal again with tgkill. Either refused:
// - sigaction once: the raise is not made; the signal is lost, the process
//   goes on. A raise with our handler still there would come back to it for
//   as long as the refusal lasts.
// - sigaction every time: the same, each time; no loop of raises.
// - tgkill: SIG_DFL is in place, the signal is lost, the process goes on;
//   the next close takes the signal back.
#include "injector.hpp" // zf::Fault, zf::Sys, zf::kEvery

#include <kernel.hpp>     // require_wait
#include <zelt/embed.hpp> // wake_signal

#include <cerrno>        // EINVAL, EAGAIN
#include <csignal>       // SIGUSR1, raise, sigaction
#include <cstdlib>       // exit, setenv
#include <gtest/gtest.h> // TEST_P, EXPECT_EXIT
#include <string>        // names
#include <unistd.h>      // alarm

namespace faults_test {
namespace {

using zf::Sys;

struct DefaultActionFailure {
    const char *name;
    Sys sys;
    int err;
    unsigned times;
};

void PrintTo(const DefaultActionFailure &c, std::ostream *os) { *os << c.name; }

const DefaultActionFailure kFailures[] = {
    {"sigaction_refused_once", Sys::Sigaction, EINVAL, 1},
    {"sigaction_refused_every_time", Sys::Sigaction, EINVAL, zf::kEvery},
    {"tgkill_refused", Sys::Tgkill, EAGAIN, 1},
};

class DefaultActionFailures : public ::testing::TestWithParam<DefaultActionFailure> {};

// Exits 0 if the process outlived its own signal, with the failures made.
[[noreturn]] void own_signal_refused(const DefaultActionFailure &c) {
    alarm(10); // a loop of raises ends here, by SIGALRM
    zt::require_wait();
    if (zelt::wake_signal() != SIGUSR1) std::exit(2);
    {
        zf::Fault fault({.sys = c.sys, .err = c.err, .key = SIGUSR1, .times = c.times});
        ::raise(SIGUSR1);
        if (fault.hits() == 0) std::exit(3); // the failure was not made where the row says
    }
    struct sigaction now = {};
    if (c.sys == Sys::Tgkill &&
        (sigaction(SIGUSR1, nullptr, &now) != 0 || now.sa_handler != SIG_DFL))
        std::exit(4); // the default was not put back
    std::exit(0);
}

TEST_P(DefaultActionFailures, TheSignalIsLostAndTheProcessGoesOn) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator cannot re-execute the test binary for a death test";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe"); // re-executed: the variable read at load
    ::setenv("ZELT_WAKE_SIGNAL", "SIGUSR1", 1);
    EXPECT_EXIT(own_signal_refused(GetParam()), ::testing::ExitedWithCode(0), "");
    ::unsetenv("ZELT_WAKE_SIGNAL");
}

INSTANTIATE_TEST_SUITE_P(Faults, DefaultActionFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace faults_test
