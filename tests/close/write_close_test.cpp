// write_close_test.cpp: a close from another thread ends a write or a flush
// blocked on a stream that takes no more: held on its way into its system
// call (the wait for room, or a terminal's write(2)), where a wake that
// lands first is spent before the call sleeps. And a read's fill, which
// wakes the waits its input ends, leaves a blocked writer alone.
#include "syscall_hold.hpp" // Hold, Call

#include <in_syscall.hpp> // blocks_in
#include <kernel.hpp>     // make_pipe, make_socketpair, make_pty, Io, Fd
#include <zelt/embed.hpp> // call, str, io_fd

#include <atomic>           // the threads' ids
#include <cerrno>           // EBADF
#include <fcntl.h>          // fcntl
#include <future>           // the blocked call, the closer
#include <gtest/gtest.h>    // TEST_P
#include <string>           // payloads, outcomes
#include <syscall_seen.hpp> // ppoll_seen, pipes_take_nowait: where a writer sleeps
#include <test_hooks.hpp>   // close_scanned
#include <thread>           // yield
#include <unistd.h>         // gettid

namespace close_test {
namespace {

using namespace std::chrono_literals;

struct BlockedWrite {
    const char *name;
    zt::Ends (*make)();
    bool terminal; // the terminal side is written (near); else the peer end
    bool flush;    // the bytes wait in the buffer; flush is the call held
    Call held_at;
};

void PrintTo(const BlockedWrite &c, std::ostream *os) { *os << c.name; }

const BlockedWrite kBlocked[] = {
    {"pipe_write", zt::make_pipe, false, false, Call::Ppoll},
    {"pipe_flush", zt::make_pipe, false, true, Call::Ppoll},
    {"socket_write", zt::make_socketpair, false, false, Call::Ppoll},
    {"fifo_flush", zt::make_fifo, false, true, Call::Write}, // FIFOs refuse RWF_NOWAIT
    {"terminal_write", zt::make_pty, true, false, Call::Write},
};

class CloseEndsAWrite : public ::testing::TestWithParam<BlockedWrite> {};

// The held call first fills what the stream takes, then stops on its way
// into the call that would sleep; the close marks, scans and sends, and only
// then does the call go on: into a sleep that the close's next send ends.
TEST_P(CloseEndsAWrite, HeldAtItsSystemCall) {
    const BlockedWrite &c = GetParam();
    zt::Ends e = c.make();
    zt::Fd written = c.terminal ? std::move(e.near) : std::move(e.peer);
    const int fd = written.get();
    zt::Io io(std::move(written));
    zelt::call(io, "sync=", {zl_bool(!c.flush)});
    zt::Held big(zelt::str(std::string(c.flush ? 8000 : 4 << 20, 'z')));
    if (c.flush) { // a pipe holds 8000 bytes: fill it first, so that the flush waits
        ::fcntl(fd, F_SETPIPE_SZ, 4096);
        zelt::call(io, "write", {big});
    }

    const bool pipe_sleeps_in_write = c.make == zt::make_pipe && !zt::pipes_take_nowait();
    Hold hold(pipe_sleeps_in_write ? Call::Write : c.held_at, fd);
    auto outcome = std::async(std::launch::async, [&] {
        try {
            zelt::call(io, c.flush ? "flush" : "write",
                       c.flush ? std::initializer_list<zl_value>{}
                               : std::initializer_list<zl_value>{big});
            return std::string("returned");
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    hold.await_reached();
    auto closer = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    while (!zelt::test_hooks::close_scanned(io)) std::this_thread::yield();
    EXPECT_NE(zelt::io_fd(io), -1) << "the descriptor went under the write";
    hold.release();
    ASSERT_EQ(outcome.wait_for(20s), std::future_status::ready) << "the close did not end it";
    EXPECT_EQ(outcome.get(), "IOError: closed stream");
    closer.get();
    EXPECT_EQ(zelt::io_fd(io), -1) << "the descriptor outlived the last call";
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

INSTANTIATE_TEST_SUITE_P(Writes, CloseEndsAWrite, ::testing::ValuesIn(kBlocked),
                         [](const auto &info) { return std::string(info.param.name); });

// A writer asleep on a full socket, a waiter in `wait` on the same stream,
// held on its way into its ppoll so that it is a sleeper when input comes,
// and a gets whose fill must wake it: the fill returns once the waiter has
// gone, though the writer sleeps on (no input ends a write's wait).
TEST(CloseEndsAWrite, AFillLeavesAWriterAsleepOnTheSameStreamAlone) {
    zt::require_wait();
    zt::Ends e = zt::make_socketpair();
    const int fd = e.near.get();
    const int peer = e.peer.get();
    zt::Io io(std::move(e.near));
    zt::Held big(zelt::str(std::string(8 << 20, 'w')));
    std::atomic<pid_t> writer_tid{0};
    auto writer = std::async(std::launch::async, [&] {
        writer_tid = gettid();
        try {
            zelt::call(io, "write", {big});
            return std::string("returned");
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    while (writer_tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(writer_tid, zt::ppoll_seen(), 10s));

    Hold hold(Call::Ppoll, fd);
    auto waiter = std::async(std::launch::async, [&] { return zelt::call(io, "wait"); });
    hold.await_reached();
    zt::write_all(peer, "a\nb\n");
    auto reader = std::async(std::launch::async, [&] {
        zt::Held line(zelt::call(io, "gets"));
        return zelt::string_value(line);
    });
    hold.release(); // the waiter sees the buffered input and leaves
    ASSERT_EQ(reader.wait_for(20s), std::future_status::ready)
        << "the fill goes on signalling the writer";
    EXPECT_EQ(reader.get(), "a\n");
    const zl_value woke = waiter.get(); // the input, or its fill: the kernel holds none now
    EXPECT_TRUE(woke == io.value() || woke == ZL_NIL) << zelt::inspect(woke);
    zelt::call(io, "close");
    EXPECT_EQ(writer.get(), "IOError: closed stream");
}

} // namespace
} // namespace close_test
