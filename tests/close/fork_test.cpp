// fork_test.cpp: after a fork, each side's streams work as before, whatever
// the other side does with its copies, even with a wait in flight at the fork.
#include <in_syscall.hpp> // zh::blocks_in
#include <kernel.hpp>     // make_pipe, Io, write_all, require_wait
#include <zelt/embed.hpp> // call, inspect

#include <atomic>           // the waiter's thread id
#include <chrono>           // durations
#include <cstdlib>          // exit
#include <future>           // the parent's waiter
#include <gtest/gtest.h>    // TEST_P
#include <string>           // outcomes
#include <sys/syscall.h>    // SYS_ppoll, which an emulator does not show
#include <sys/wait.h>       // waitpid
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it
#include <thread>           // yield
#include <unistd.h>         // fork, _exit, alarm, gettid

namespace close_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

enum class Child { Closes, Exits, ClosesFromAThread };

struct ForkCase {
    const char *name;
    Child child;
};

const ForkCase kForks[] = {
    {"child_closes_its_copy", Child::Closes},
    {"child_exits", Child::Exits},
    {"child_closes_from_a_thread_then_exits", Child::ClosesFromAThread},
};

void PrintTo(const ForkCase &c, std::ostream *os) { *os << c.name; }

// The child: its calls on its copy answer, its close returns (nothing waits
// for the parent's threads, which it does not have), then it leaves.
[[noreturn]] void run_child(zl_value io, Child what) {
    alarm(10); // a hang ends the child, and the parent sees the signal
    int status = 0;
    try {
        if (zelt::call(io, "nread") != zelt::integer(0)) status = 3;
        if (what == Child::Exits) std::exit(status); // exit handlers run as usual
        if (what == Child::ClosesFromAThread) {
            std::thread closer([&] { zelt::call(io, "close"); });
            closer.join();
        } else {
            zelt::call(io, "close");
        }
        if (zelt::call(io, "closed?") != ZL_TRUE) status = 4;
        if (zelt::io_fd(io) != -1) status = 6; // held for a thread the child does not have
    } catch (...) {
        status = 5;
    }
    _exit(status);
}

class ForkWhileWaiting : public ::testing::TestWithParam<ForkCase> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(ForkWhileWaiting, TheParentsWaitsKeepTheirMeaning) {
#if defined(__SANITIZE_THREAD__)
    if (GetParam().child == Child::ClosesFromAThread)
        GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multithreaded fork";
#endif
    if (GetParam().child == Child::ClosesFromAThread && zt::ppoll_seen() != SYS_ppoll)
        GTEST_SKIP() << "the user-mode emulator cannot start threads in a fork child";
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    std::atomic<pid_t> tid{0};
    auto waiter = std::async(std::launch::async, [&] {
        tid = ::gettid();
        return zelt::call(io, "wait") == io.value(); // no limit: only input ends it
    });
    while (!tid.load()) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms));

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) run_child(io, GetParam().child);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;

    const auto start = Clock::now();
    EXPECT_EQ(zelt::call(io, "wait", {zelt::integer(0)}), ZL_NIL);
    zt::Held limit(zelt::flt(0.2));
    EXPECT_EQ(zelt::call(io, "wait", {limit}), ZL_NIL);
    EXPECT_GE(Clock::now() - start, 200ms) << "the bounded wait did not last its limit";
    EXPECT_EQ(waiter.wait_for(0s), std::future_status::timeout) << "the wait ended without input";
    zt::write_all(pipe.peer.get(), "x");
    ASSERT_EQ(waiter.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(waiter.get());
}

INSTANTIATE_TEST_SUITE_P(Children, ForkWhileWaiting, ::testing::ValuesIn(kForks),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
