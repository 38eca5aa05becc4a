// shared_reader_test.cpp: two IO objects over one open file (a descriptor and
// its dup) read at once; whichever loses the bytes goes back to its wait, and
// a close of its stream ends it there. Datagrams come whole to whichever
// reader takes them.
#include "syscall_hold.hpp" // Hold, Call

#include <in_syscall.hpp> // zh::blocks_in
#include <kernel.hpp>     // make_pipe, make_fifo, make_pty, Io, Fd, write_all
#include <zelt/embed.hpp> // call, inspect

#include <atomic>           // the readers' thread ids
#include <chrono>           // durations
#include <future>           // the readers
#include <gtest/gtest.h>    // TEST_P
#include <string>           // outcomes
#include <sys/socket.h>     // socketpair: a datagram socket
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it
#include <thread>           // yield
#include <unistd.h>         // dup, gettid

namespace close_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct SharedCase {
    const char *name;
    zt::Ends (*make)();
};

const SharedCase kKinds[] = {
    {"pipe", zt::make_pipe},
    {"socketpair", zt::make_socketpair},
    {"fifo", zt::make_fifo},
    {"pty", zt::make_pty},
};

void PrintTo(const SharedCase &c, std::ostream *os) { *os << c.name; }

class SharedReaders : public ::testing::TestWithParam<SharedCase> {};

TEST_P(SharedReaders, TheLoserIsEndedByItsClose) {
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        zt::Ends ends = GetParam().make();
        zt::Io first(::dup(ends.near.get()));
        zt::Io second(std::move(ends.near));
        std::atomic<pid_t> tids[2] = {0, 0};
        auto read_line = [&](zl_value io, int i) {
            tids[i] = ::gettid();
            try {
                zl_value v = zelt::call(io, "gets");
                std::string shown = zelt::inspect(v);
                if (zelt::is_string(v)) zelt::release(v);
                return shown;
            } catch (const zelt::Error &e) {
                return std::string(e.what());
            }
        };
        auto a = std::async(std::launch::async, read_line, first.value(), 0);
        auto b = std::async(std::launch::async, read_line, second.value(), 1);
        for (auto &tid : tids) {
            while (!tid.load()) std::this_thread::yield();
            zh::blocks_in(tid.load(), zt::ppoll_seen(), 2000ms);
        }
        zt::write_all(ends.peer.get(), "x\n"); // one line: one reader gets it
        // Let the winner finish, then close both streams under the loser.
        while (a.wait_for(0s) != std::future_status::ready &&
               b.wait_for(0s) != std::future_status::ready)
            std::this_thread::yield();
        const auto closing = Clock::now();
        zelt::call(first, "close");
        zelt::call(second, "close");
        for (auto *reader : {&a, &b})
            if (reader->wait_for(5s) == std::future_status::timeout) {
                zt::write_all(ends.peer.get(), "y\n"); // free it, then fail
                ADD_FAILURE() << "a reader sat on past the close";
            }
        EXPECT_LT(Clock::now() - closing, 50ms);
        const std::string got[] = {a.get(), b.get()};
        const int winners = (got[0] == "\"x\\n\"") + (got[1] == "\"x\\n\"");
        EXPECT_EQ(winners, 1) << got[0] << " / " << got[1];
        for (const auto &g : got)
            EXPECT_TRUE(g == "\"x\\n\"" || g == "IOError: closed stream") << g;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SharedReaders, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.name); });

// Two readers of one datagram socket: a short datagram, then a long one. The
// first reader is held at its read, if it makes one after learning what
// comes next, while the second takes the short one; the first then gets the
// long one whole, never cut to the room made for the short one.
TEST(SharedDatagrams, NoReadIsSizedForADatagramAnotherReaderTook) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv), 0);
    zt::Fd peer(sv[1]);
    zt::Io first(::dup(sv[0])), second(sv[0]);
    const std::string short_one = "short\n", long_one = std::string(20000, 'L') + "\n";
    zt::write_all(peer.get(), short_one);
    zt::write_all(peer.get(), long_one);
    auto line_of = [](zl_value io) {
        const zl_value v = zelt::call(io, "gets");
        std::string s = zelt::is_string(v) ? zelt::string_value(v) : "nil";
        zelt::release(v);
        return s;
    };
    Hold hold(Call::Preadv2, zelt::io_fd(first));
    auto a = std::async(std::launch::async, line_of, first.value());
    while (!hold.reached() && a.wait_for(0s) != std::future_status::ready)
        std::this_thread::yield();
    std::string b;
    if (hold.reached()) { // between its look at the queue and its read: the other takes one
        b = line_of(second);
        hold.release();
    }
    ASSERT_EQ(::send(peer.get(), "", 0, 0), 0); // ends a gets left waiting for a cut line's rest
    const std::string got = a.get();
    if (b.empty()) b = line_of(second);
    EXPECT_TRUE(got == short_one || got == long_one) << got.size() << " bytes";
    EXPECT_TRUE(b == short_one || b == long_one) << b.size() << " bytes";
    EXPECT_NE(got, b);
}

} // namespace
} // namespace close_test
