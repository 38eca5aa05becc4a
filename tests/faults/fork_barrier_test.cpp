// fork_barrier_test.cpp: the barrier's registration, made anew in a fork
// child, refused. The child switches to fenced calls before any thread of its
// own can make one, its closes make no barrier the kernel would refuse, and a
// close there still ends a wait asleep on its stream. The parent is untouched.
#include "calls.hpp"    // call, closed_stream
#include "injector.hpp" // zf::Fault, zf::Sys, zf::barrier_registered

#include <in_syscall.hpp>   // zh::blocks_in
#include <kernel.hpp>       // make_pipe, Io, require_wait
#include <syscall_seen.hpp> // zt::ppoll_seen
#include <test_hooks.hpp>   // calls_fence

#include <atomic>             // the waiter's thread id
#include <cerrno>             // EPERM
#include <chrono>             // bounds
#include <gtest/gtest.h>      // TEST
#include <linux/membarrier.h> // MEMBARRIER_CMD_*
#include <sys/syscall.h>      // SYS_ppoll, which an emulator does not show
#include <sys/wait.h>         // waitpid
#include <thread>             // the child's waiter
#include <unistd.h>           // fork, _exit, alarm, gettid

namespace faults_test {
namespace {

using zf::Sys;

// What went wrong in the child, as its exit status.
enum ChildFault : int {
    kOk = 0,
    kNotAsked = 2,      // no registration was made in the child
    kNotFenced = 3,     // its calls still rely on a barrier it does not have
    kWaitNotAsleep = 4, // the waiter never got to its ppoll
    kCloseFailed = 5,   // the close raised
    kWaitAnswered = 6,  // the wait did not end with the closed stream
    kBarrierMade = 7,   // the close asked for the barrier the kernel refused
    kThrew = 99,
};

[[noreturn]] void run_child(zl_value io, const zf::Fault &registration) {
    alarm(10); // a wait a close cannot end ends the child, and the parent sees the signal
    int status = kOk;
    auto fault = [&](ChildFault f) {
        if (status == kOk) status = f; // the first tells most
    };
    try {
        zf::Fault barriers({.sys = Sys::Membarrier,
                            .key = MEMBARRIER_CMD_PRIVATE_EXPEDITED,
                            .times = 0,
                            .any_thread = true});
        if (registration.seen() != 1) fault(kNotAsked);
        if (!zelt::test_hooks::calls_fence()) fault(kNotFenced);
        std::atomic<pid_t> tid{0};
        std::string answered;
        std::thread waiter([&] {
            tid = ::gettid();
            answered = call(io, "wait").text; // no limit: only the close ends it
        });
        while (!tid.load()) std::this_thread::yield();
        if (!zh::blocks_in(tid.load(), zt::ppoll_seen(), std::chrono::seconds(5)))
            fault(kWaitNotAsleep);
        if (call(io, "close").err != 0) fault(kCloseFailed);
        waiter.join();
        if (answered != closed_stream()) fault(kWaitAnswered);
        if (barriers.seen() != 0) fault(kBarrierMade);
    } catch (...) {
        status = kThrew;
    }
    _exit(status);
}

TEST(BarrierRefusedInAForkChild, TheChildFencesAndItsCloseEndsAWait) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads after a multithreaded fork";
#endif
    if (zt::ppoll_seen() != SYS_ppoll)
        GTEST_SKIP() << "the user-mode emulator cannot start threads in a fork child";
    if (!zf::barrier_registered()) GTEST_SKIP() << "no barrier registered: the child asks for none";
    zt::require_wait();
    zt::Ends pipe = zt::make_pipe(); // the writer stays open: only the close ends the wait
    zt::Io io(std::move(pipe.near));
    EXPECT_FALSE(zelt::test_hooks::calls_fence()) << "the parent fences before the fork";
    pid_t child = -1;
    {
        zf::Fault registration({.sys = Sys::Membarrier,
                                .err = EPERM,
                                .key = MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED,
                                .any_thread = true});
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) run_child(io, registration);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status)) << "the child ended by signal " << WTERMSIG(status);
    if (WIFEXITED(status)) {
        EXPECT_EQ(WEXITSTATUS(status), kOk) << "see ChildFault";
    }
    EXPECT_FALSE(zelt::test_hooks::calls_fence()) << "the child's refusal reached the parent";
    EXPECT_EQ(call(io, "nread").text, "0") << "the parent's copy after the child's close";
}

} // namespace
} // namespace faults_test
