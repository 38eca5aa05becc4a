// wait_any_close_test.cpp: IO.wait_any held at its ppoll while another thread
// closes one stream of its set, reads into another's buffer, or forks. The
// wait ends, answers the closed stream and the others that are ready, and
// keeps the closed stream's number until it leaves, so no new stream takes
// it meanwhile.
#include "syscall_hold.hpp" // Hold, Call
#include "wait_any.hpp"     // wait_any, require_wait_many

#include <kernel.hpp>     // make_pipe, Io, Fd, write_all, require_wait
#include <zelt.h>         // zl_io_read_pending, zl_io_record
#include <zelt/embed.hpp> // call, io_fd, io_closed

#include <atomic>         // the handler's stream and its end
#include <cerrno>         // EBADF
#include <chrono>         // the wait's limit, and how long it took
#include <csignal>        // sigaction, SIGUSR1
#include <fcntl.h>        // fcntl
#include <future>         // the held wait, the close
#include <gtest/gtest.h>  // TEST_P
#include <optional>       // a row's limit
#include <pthread.h>      // pthread_kill
#include <sys/stat.h>     // fstat: which pipe a number names
#include <sys/wait.h>     // waitpid
#include <test_hooks.hpp> // close_scanned
#include <thread>         // yield
#include <unistd.h>       // fork, _exit

namespace close_test {
namespace {

using Clock = std::chrono::steady_clock;

ino_t inode_of(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

struct SetCase {
    const char *name;
    std::optional<double> limit; // none: no limit, so only the close's signals end it
};

void PrintTo(const SetCase &c, std::ostream *os) { *os << c.name; }

class CloseInASet : public ::testing::TestWithParam<SetCase> {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        many_test::require_wait_many();
    }
    std::vector<zl_value> wait(const std::vector<zl_value> &set) {
        const SetCase &c = GetParam();
        return c.limit ? many_test::wait_any(set, *c.limit) : many_test::wait_any(set);
    }
};

// A set of three idle pipes; the wait is held at its ppoll, the middle one is
// closed from another thread, the last one gets input.
TEST_P(CloseInASet, EndsTheWaitAnswersTheOthersAndKeepsTheNumber) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe(), c = zt::make_pipe();
    const int first = a.near.get(), closing = b.near.get();
    const ino_t closing_pipe = inode_of(closing);
    zt::Io ia(std::move(a.near)), ib(std::move(b.near)), ic(std::move(c.near));

    Hold hold(Call::Ppoll, first); // the set's ppoll names the first stream first
    const auto start = Clock::now();
    auto answer = std::async(std::launch::async, [&] { return wait({ia, ib, ic}); });
    hold.await_reached();
    auto closer = std::async(std::launch::async, [&] { zelt::call(ib, "close"); });
    while (!zelt::test_hooks::close_scanned(ib)) std::this_thread::yield();
    zt::Ends other = zt::make_pipe(); // the lowest free number, if the close gave it away
    zt::write_all(other.peer.get(), "theirs");
    EXPECT_NE(other.near.get(), closing) << "the number was released under the wait";
    EXPECT_EQ(inode_of(closing), closing_pipe) << "the number names another file meanwhile";
    EXPECT_NE(zelt::io_fd(ib), -1) << "released while the set still names it";
    zt::write_all(c.peer.get(), "ready");
    hold.release();
    closer.get();

    EXPECT_EQ(answer.get(), (std::vector<zl_value>{ib.value(), ic.value()}));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "the close did not end the wait";
    EXPECT_TRUE(zelt::io_closed(ib));
    EXPECT_EQ(zelt::io_fd(ib), -1) << "the descriptor outlived the wait";
    errno = 0;
    EXPECT_EQ(::fcntl(closing, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

// Another thread's read moves the input of one stream into its buffer while
// the wait is held: the kernel has none left to report, the buffer has.
TEST_P(CloseInASet, InputAnotherThreadBuffersEndsTheWait) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    const int first = a.near.get();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));

    Hold hold(Call::Ppoll, first);
    const auto start = Clock::now();
    auto answer = std::async(std::launch::async, [&] { return wait({ia, ib}); });
    hold.await_reached();
    zt::write_all(b.peer.get(), "one\ntwo\n");
    auto reader = std::async(std::launch::async, [&] { // its fill signals the wait
        zt::Held line(zelt::call(ib, "gets"));
        return zelt::inspect(line);
    });
    // The fill has buffered "two\n"; its sends go on until the wait leaves.
    while (zl_io_read_pending(zl_io_record(ib)) == 0) std::this_thread::yield();
    hold.release();
    EXPECT_EQ(answer.get(), std::vector<zl_value>{ib.value()});
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "the fill did not end the wait";
    EXPECT_EQ(reader.get(), "\"one\\n\"");
}

const SetCase kSetCases[] = {
    {"no_limit", std::nullopt},
    {"limit", 30.0},
};

INSTANTIATE_TEST_SUITE_P(Limits, CloseInASet, ::testing::ValuesIn(kSetCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A host handler on the waiting thread itself closes a stream of the set on
// the wait's way into ppoll: no other call names it, so only the set keeps
// its descriptor until the wait has left. The close zeroes the wait's limit,
// so the ppoll returns at once, with a limit given or none (a far one).
std::atomic<zl_value> handler_closes{0};
std::atomic<bool> handler_done{false};

void close_in_handler(int) {
    zelt::call(handler_closes.load(), "close");
    handler_done.store(true);
}

class HandlerCloseInASet : public CloseInASet {};

TEST_P(HandlerCloseInASet, EndsTheWaitAndKeepsTheNumberUntilItLeaves) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    const int first = a.near.get(), closing = b.near.get();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    handler_closes.store(ib.value());
    handler_done.store(false);
    struct sigaction action = {}, old = {};
    action.sa_handler = close_in_handler;
    sigaction(SIGUSR1, &action, &old);

    Hold hold(Call::Ppoll, first);
    std::promise<pthread_t> waiting;
    auto answer = std::async(std::launch::async, [&] {
        waiting.set_value(pthread_self());
        return wait({ia, ib});
    });
    const pthread_t id = waiting.get_future().get();
    hold.await_reached();
    pthread_kill(id, SIGUSR1);
    while (!handler_done.load()) std::this_thread::yield();
    EXPECT_NE(zelt::io_fd(ib), -1) << "released while the wait's set names it";
    EXPECT_NE(::fcntl(closing, F_GETFD), -1);
    hold.release();
    // Far below the row's limit; a close from this thread ends a wait that
    // slept on, so the failure is told rather than hung on.
    const bool ended = answer.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!ended) zelt::call(ia, "close");
    const std::vector<zl_value> got = answer.get();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(ended) << "the close from the handler did not end the wait";
    if (ended) {
        EXPECT_EQ(got, std::vector<zl_value>{ib.value()});
    }
    EXPECT_EQ(zelt::io_fd(ib), -1) << "the descriptor outlived the wait";
}

INSTANTIATE_TEST_SUITE_P(Limits, HandlerCloseInASet, ::testing::ValuesIn(kSetCases),
                         [](const auto &info) { return std::string(info.param.name); });

// A fork while a set wait is held on another thread: the child has no such
// thread, so its close of a stream in the set releases the descriptor at once
// and signals nobody.
TEST(WaitAnyFork, AChildClosesAStreamOfAWaitOnAThreadItDoesNotHave) {
    zt::require_wait();
    many_test::require_wait_many();
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    const int first = a.near.get(), closing = b.near.get();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    Hold hold(Call::Ppoll, first);
    auto answer = std::async(std::launch::async, [&] {
        return many_test::wait_any({ia, ib}, 30.0);
    });
    hold.await_reached();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        zelt::call(ib, "close");
        ::_exit(zelt::io_fd(ib) == -1 && ::fcntl(closing, F_GETFD) == -1 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    zt::write_all(b.peer.get(), "b");
    hold.release();
    EXPECT_EQ(answer.get(), std::vector<zl_value>{ib.value()});
}

} // namespace
} // namespace close_test
