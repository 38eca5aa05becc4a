// output_test.cpp: nwrite, writable?, wait_writable and wait_for on real
// kernel objects: an empty and a full pipe, a socket whose peer stops
// reading, a terminal, a reader that goes away, a half-closed TCP
// connection, urgent TCP data, a read buffer that must not end a wait for
// writable, fork, and IO.wait_any asked for events.
#include "output_side.hpp" // fill, drain, words, wait_for, Drainer

#include <calls.hpp>         // seconds_since
#include <in_syscall.hpp>    // zh::blocks_in
#include <kernel.hpp>        // make_pipe, make_socketpair, make_tcp, make_pty, make_fifo, Io
#include <syscall_count.hpp> // zt::syscalls::Counter
#include <syscall_seen.hpp>  // zt::ppoll_seen: ppoll as /proc shows it
#include <wait_any.hpp>      // many_test::wait_any
#include <zelt.h>            // zl_cIO
#include <zelt/embed.hpp>    // call, methods_of, integer_value

#include <algorithm>     // std::find_if
#include <cerrno>        // errno, ENOPROTOOPT
#include <chrono>        // limits
#include <fcntl.h>       // open, O_WRONLY, O_CLOEXEC
#include <future>        // a wait on another thread
#include <gtest/gtest.h> // TEST, TEST_P
#include <netinet/in.h>  // IPPROTO_TCP
#include <stdlib.h>      // mkostemp
#include <sys/ioctl.h>   // ioctl, TIOCOUTQ, FIONREAD: the raw counts
#include <sys/socket.h>  // send, shutdown, MSG_OOB, SHUT_WR
#include <sys/wait.h>    // waitpid
#include <unistd.h>      // fork, _exit, gettid

namespace write_suite {
namespace {

using wait_suite::seconds_since;
using Strings = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

zl_value nwrite(zl_value io) { return zelt::call(io, "nwrite"); }
zl_value writable(zl_value io) { return zelt::call(io, "writable?"); }
zl_value wait_writable(zl_value io, double limit) {
    zt::Held l(zelt::flt(limit));
    return zelt::call(io, "wait_writable", {l});
}
zl_value wait_writable(zl_value io) { return zelt::call(io, "wait_writable"); }
int64_t count(zl_value v) { return zelt::integer_value(v); }

class Output : public ::testing::Test {
protected:
    static void SetUpTestSuite() { require_extensions(); }
};

TEST_F(Output, TheExtensionAddsItsFourMethodsToIO) {
    const auto methods = zelt::methods_of(zl_cIO);
    const struct {
        const char *name;
        int arity;
    } expected[] = {{"nwrite", 0}, {"writable?", 0}, {"wait_writable", -1}, {"wait_for", -1}};
    for (const auto &e : expected) {
        auto m = std::find_if(methods.begin(), methods.end(),
                              [&](const zelt::MethodInfo &i) { return i.name == e.name; });
        ASSERT_NE(m, methods.end()) << e.name;
        EXPECT_EQ(m->arity, e.arity) << e.name;
    }
}

// Each kind of stream whose reader keeps up: writable now, nothing queued
// once the reader has taken it all.
struct WriteKind {
    const char *name;
    zt::Ends (*make)();
    bool counts_queue; // a pseudo-terminal queues nothing of its own: its bytes
                       // wait in the controller's input, and TIOCOUTQ says 0
};
void PrintTo(const WriteKind &k, std::ostream *os) { *os << k.name; }

const WriteKind kWriteKinds[] = {
    {"pipe", zt::make_pipe, true},
    {"fifo", zt::make_fifo, true},
    {"socketpair", zt::make_socketpair, true},
    {"tcp", zt::make_tcp, true},
    {"pty", zt::make_pty, false},
};

class EachKind : public Output, public ::testing::WithParamInterface<WriteKind> {};

// The peer end is the one written to; the near end reads.
TEST_P(EachKind, AnIdleStreamIsWritableAtOnceAndQueuesNothing) {
    zt::Ends ends = GetParam().make();
    Through out(std::move(ends.peer));
    EXPECT_EQ(writable(out), ZL_TRUE);
    EXPECT_EQ(wait_writable(out, 0), out.value());
    EXPECT_EQ(wait_writable(out), out.value());
    EXPECT_EQ(wait_for(out, {"writable"}, 0), Strings{"writable"});
    EXPECT_EQ(count(nwrite(out)), 0);
}

// Full: the kernel takes no more until the reader reads. Not writable, a
// wait with a limit answers nil once it passed, and one without a limit
// answers the stream once a reader drains it.
TEST_P(EachKind, AFullStreamWaitsUntilTheReaderTakesItsBytes) {
    zt::Ends ends = GetParam().make();
    const int reader = ends.near.get();
    const std::size_t taken = fill(ends.peer.get());
    ASSERT_GT(taken, 0u);
    Through out(std::move(ends.peer));
    EXPECT_EQ(writable(out), ZL_FALSE);
    EXPECT_EQ(wait_writable(out, 0), ZL_NIL);
    const auto start = Clock::now();
    EXPECT_EQ(wait_writable(out, 0.05), ZL_NIL);
    EXPECT_GE(seconds_since(start), 0.05);
    EXPECT_EQ(wait_for(out, {"writable"}, 0.01), Strings{});
    if (GetParam().counts_queue)
        EXPECT_GT(count(nwrite(out)), 0) << "bytes still on their way out";
    else
        EXPECT_EQ(count(nwrite(out)), 0);
    {
        Drainer drainer(reader);
        EXPECT_EQ(wait_writable(out), out.value());
    }
    drain(reader);
    EXPECT_EQ(writable(out), ZL_TRUE);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachKind, ::testing::ValuesIn(kWriteKinds),
                         [](const auto &info) { return std::string(info.param.name); });

// What each kind can tell of the bytes on their way out is what the kernel
// counts: a pipe's and a FIFO's unread bytes (FIONREAD, asked on the write
// end), a socket's and a terminal's output queue (TIOCOUTQ, SIOCOUTQ).
TEST_F(Output, APipeCountsTheBytesItsReaderHasNotTaken) {
    for (auto make : {zt::make_pipe, zt::make_fifo}) {
        zt::Ends ends = make();
        zt::write_all(ends.peer.get(), "12345");
        Through out(std::move(ends.peer));
        EXPECT_EQ(count(nwrite(out)), 5);
        char two[2];
        ASSERT_EQ(::read(ends.near.get(), two, 2), 2);
        EXPECT_EQ(count(nwrite(out)), 3);
        drain(ends.near.get());
        EXPECT_EQ(count(nwrite(out)), 0);
    }
}

TEST_F(Output, ASocketOrTerminalCountsItsOutputQueueAsTheKernelDoes) {
    for (auto make : {zt::make_socketpair, zt::make_tcp, zt::make_pty}) {
        zt::Ends ends = make();
        fill(ends.peer.get());
        const int fd = ends.peer.get();
        Through out(std::move(ends.peer));
        int raw = -1;
        ASSERT_EQ(::ioctl(fd, TIOCOUTQ, &raw), 0);
        EXPECT_EQ(count(nwrite(out)), raw); // a full queue: no byte moves meanwhile
    }
}

// A regular file's FIONREAD counts from the offset to its end: nothing on its
// way out. /dev/null counts nothing at all.
TEST_F(Output, AFileOrDevNullHasNothingOnItsWayOut) {
    char path[] = "/tmp/zelt-out-XXXXXX";
    zt::Fd file(::mkostemp(path, O_CLOEXEC));
    ::unlink(path);
    zt::write_all(file.get(), "bytes already in the file");
    ASSERT_EQ(::lseek(file.get(), 0, SEEK_SET), 0);
    Through f(std::move(file)), null(zt::Fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)));
    for (zl_value io : {f.value(), null.value()}) {
        EXPECT_EQ(count(nwrite(io)), 0);
        EXPECT_EQ(writable(io), ZL_TRUE);
        EXPECT_EQ(wait_writable(io, 1), io);
    }
}

// The reader has gone: a write would not wait, it would fail (EPIPE). The
// answers say so, empty pipe or full, and no write is made: the process
// lives.
TEST_F(Output, AReaderThatHasGoneIsToldApartFromAFullPipe) {
    for (bool full : {false, true}) {
        zt::Ends ends = zt::make_pipe();
        if (full) fill(ends.peer.get());
        Through out(std::move(ends.peer));
        ends.near.reset();
        SCOPED_TRACE(full ? "full" : "empty");
        EXPECT_EQ(writable(out), ZL_NIL);
        EXPECT_EQ(wait_writable(out), ZL_FALSE);
        EXPECT_EQ(wait_writable(out, 5), ZL_FALSE);
        const Strings found = wait_for(out, {"writable"}, 5);
        EXPECT_EQ(found.back(), "error");
        EXPECT_EQ(found.size(), full ? 1u : 2u) << "writable as well while the pipe has room";
    }
}

TEST_F(Output, ASocketWhosePeerHasClosedHasHungUp) {
    zt::Ends ends = zt::make_socketpair();
    Through out(std::move(ends.peer));
    ends.near.reset();
    EXPECT_EQ(writable(out), ZL_NIL);
    EXPECT_EQ(wait_writable(out, 5), ZL_FALSE);
    const Strings found = wait_for(out, {"hangup"}, 5);
    EXPECT_NE(std::find(found.begin(), found.end(), "hangup"), found.end());
}

// A peer that shuts its side down for writing (a half-close): the near side
// reads the end (readable) and is told of the half-close (hangup), and can
// still write.
TEST_F(Output, AHalfClosedTcpConnectionIsReadableAndHungUpYetWritable) {
    zt::Ends ends = zt::make_tcp();
    Through near(std::move(ends.near));
    EXPECT_EQ(wait_for(near, {"readable", "hangup"}, 0), Strings{});
    ASSERT_EQ(::shutdown(ends.peer.get(), SHUT_WR), 0);
    EXPECT_EQ(wait_for(near, {"readable", "hangup"}, 5), (Strings{"readable", "hangup"}));
    EXPECT_EQ(wait_for(near, {"hangup"}, 5), Strings{"hangup"});
    EXPECT_EQ(wait_for(near, {"readable"}, 5), Strings{"readable"}) << "no hang-up unasked";
    EXPECT_EQ(writable(near), ZL_TRUE) << "the near side's own direction is open";
}

// Urgent data (MSG_OOB) polls POLLPRI: priority, and not before it came.
TEST_F(Output, UrgentTcpDataIsPriority) {
    zt::Ends ends = zt::make_tcp();
    Through near(std::move(ends.near));
    EXPECT_EQ(wait_for(near, {"priority"}, 0.01), Strings{});
    auto waiter = std::async(std::launch::async, [&] { return wait_for(near, {"priority"}); });
    ASSERT_EQ(::send(ends.peer.get(), "!", 1, MSG_OOB), 1);
    EXPECT_EQ(waiter.get(), Strings{"priority"});
    EXPECT_EQ(wait_for(near, {"priority", "writable"}, 0), (Strings{"writable", "priority"}));
}

// No low-water mark of one's own for a wait for writable: Linux refuses
// SO_SNDLOWAT (README says so, and what a caller does instead).
TEST_F(Output, TheKernelRefusesASendLowWaterMark) {
    zt::Ends ends = zt::make_socketpair();
    const int mark = 4096;
    errno = 0;
    EXPECT_EQ(::setsockopt(ends.peer.get(), SOL_SOCKET, SO_SNDLOWAT, &mark, sizeof mark), -1);
    EXPECT_EQ(errno, ENOPROTOOPT);
}

// The answer lists what happened in one order, whatever the order asked.
TEST_F(Output, TheAnswerIsInTheTableOrderAndOneStringIsOneEvent) {
    zt::Ends ends = zt::make_socketpair();
    zt::write_all(ends.peer.get(), "x");
    Through near(std::move(ends.near));
    EXPECT_EQ(wait_for(near, {"writable", "readable"}, 0), (Strings{"readable", "writable"}));
    zt::Held word(zelt::str("writable"));
    EXPECT_EQ(words(zelt::call(near, "wait_for", {word})), Strings{"writable"});
    zt::Held answer(zelt::call(near, "wait_for", {word}));
    for (zl_value w : zelt::array_values(answer)) zelt::release(w); // the runtime's own: kept
    EXPECT_EQ(words(zelt::call(near, "wait_for", {word})), Strings{"writable"});
}

// Input held in the read buffer answers readable with no system call, and
// does not end a wait for writable alone: that one sleeps on.
TEST_F(Output, TheReadBufferAnswersReadableButNotWritable) {
    zt::Ends ends = zt::make_socketpair();
    zt::write_all(ends.peer.get(), "one\ntwo\n");
    const int peer = ends.peer.get();
    Through near(std::move(ends.near));
    zt::Held line(zelt::call(near, "gets")); // "two\n" stays buffered
    {
        zt::syscalls::Counter calls;
        EXPECT_EQ(wait_for(near, {"readable", "writable"}), Strings{"readable"});
        EXPECT_EQ(calls.ppolls() + calls.ioctls(), 0u);
    }
    fill(zelt::io_fd(near)); // the socket's own direction full
    std::promise<pid_t> tid;
    auto waiter = std::async(std::launch::async, [&] {
        tid.set_value(static_cast<pid_t>(::gettid()));
        return wait_writable(near);
    });
    EXPECT_TRUE(zh::blocks_in(tid.get_future().get(), zt::ppoll_seen(), std::chrono::seconds(10)))
        << "the wait ended without sleeping";
    Drainer drainer(peer);
    EXPECT_EQ(waiter.get(), near.value()) << "a wait for writable ended by the read buffer";
}

// A fork's child has the stream as it was: full there too, and writable once
// the parent's reader drains it.
TEST_F(Output, AForkedChildAsksAndWaitsOnItsOwnSide) {
    zt::Ends ends = zt::make_pipe();
    fill(ends.peer.get());
    Through out(std::move(ends.peer));
    zt::Ends asked = zt::make_pipe(); // the child's word that it has seen the pipe full
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int code = writable(out) == ZL_FALSE ? 0 : 10;
        if (code == 0 && wait_writable(out, 0.01) != ZL_NIL) code = 11;
        if (::write(asked.peer.get(), "x", 1) != 1) code = 13;
        if (code == 0 && wait_writable(out) != out.value()) code = 12;
        ::_exit(code);
    }
    char seen;
    ASSERT_EQ(::read(asked.near.get(), &seen, 1), 1);
    drain(ends.near.get());
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(writable(out), ZL_TRUE) << "the parent's stream as it was";
}

// IO.wait_any asked for writable answers the streams that can take a write;
// a third argument of nil keeps it a wait for input.
// Buffered (the default on a pipe), a stream whose write buffer has room
// answers writable with no system call, even on a full pipe where the kernel
// would make a write wait; nwrite counts the buffered bytes with the kernel's.
// Once the buffer is full, the kernel answers again.
TEST_F(Output, RoomInTheWriteBufferAnswersWithNoSystemCall) {
    zt::Ends ends = zt::make_pipe();
    const std::size_t queued = fill(ends.peer.get());
    zt::Io out(std::move(ends.peer));
    zt::Held bytes(zelt::str("abc"));
    zelt::call(out, "write", {bytes}); // held: the pipe takes no more
    zt::Held set(zelt::array({out.value()}));
    zt::Held word(zelt::str("writable"));
    zt::Held zero(zelt::integer(0));
    {
        zt::syscalls::Counter syscalls;
        EXPECT_EQ(writable(out), ZL_TRUE);
        EXPECT_EQ(wait_writable(out, 0), ZL_TRUE); // true, not the receiver: the buffer's answer
        EXPECT_EQ(wait_writable(out), ZL_TRUE);
        EXPECT_EQ(wait_for(out, {"writable"}), Strings{"writable"});
        zt::Held answer(zelt::call(zl_cIO, "wait_any", {set, zero, word}));
        EXPECT_EQ(zelt::array_values(answer), std::vector<zl_value>{out.value()});
        EXPECT_EQ(syscalls.ppolls(), 0u);
        EXPECT_EQ(syscalls.ioctls(), 0u);
    }
    EXPECT_EQ(count(nwrite(out)),
              static_cast<int64_t>(queued) + 3); // the buffer's, then the pipe's
    zt::Held more(zelt::str(std::string(8192 - 3, 'x')));
    zelt::call(out, "write", {more}); // the buffer full: no room left
    EXPECT_EQ(writable(out), ZL_FALSE);
    EXPECT_EQ(wait_writable(out, 0), ZL_NIL);
    drain(ends.near.get()); // room for the release's flush
}

TEST_F(Output, WaitAnyAskedForWritableAnswersTheStreamsWithRoom) {
    zt::Ends full = zt::make_pipe(), room = zt::make_pipe();
    fill(full.peer.get());
    Through a(std::move(full.peer)), b(std::move(room.peer));
    zt::Held set(zelt::array({a.value(), b.value()}));
    zt::Held word(zelt::str("writable"));
    zt::Held limit(zelt::flt(5));
    zt::Held answer(zelt::call(zl_cIO, "wait_any", {set, limit, word}));
    EXPECT_EQ(zelt::array_values(answer), std::vector<zl_value>{b.value()});
    zt::Held zero(zelt::integer(0));
    EXPECT_EQ(zelt::call(zl_cIO, "wait_any", {set, zero, word}) == ZL_NIL, false);

    zt::Ends in = zt::make_pipe();
    zt::write_all(in.peer.get(), "x");
    zt::Io r(std::move(in.near));
    zt::Held one(zelt::array({r.value()}));
    zt::Held input(zelt::call(zl_cIO, "wait_any", {one, zero, ZL_NIL}));
    EXPECT_EQ(zelt::array_values(input), std::vector<zl_value>{r.value()});
}

// A read-write stream whose read buffer holds input, asked for writable
// alone, is answered by the kernel, not by the buffer.
TEST_F(Output, WaitAnyForWritableIsNotAnsweredByTheReadBuffer) {
    zt::Ends ends = zt::make_socketpair();
    zt::write_all(ends.peer.get(), "one\ntwo\n");
    Through near(std::move(ends.near));
    zt::Held line(zelt::call(near, "gets"));
    fill(zelt::io_fd(near));
    zt::Held set(zelt::array({near.value()}));
    zt::Held word(zelt::str("writable"));
    zt::Held zero(zelt::integer(0));
    EXPECT_EQ(zelt::call(zl_cIO, "wait_any", {set, zero, word}), ZL_NIL);
    zt::Held readable(zelt::str("readable"));
    zt::Held found(zelt::call(zl_cIO, "wait_any", {set, zero, readable}));
    EXPECT_EQ(zelt::array_values(found), std::vector<zl_value>{near.value()});
}

} // namespace
} // namespace write_suite
