// read_buffer_test.cpp: gets and read(n) read ahead into the record's buffer and serve from it.
#include "case_names.hpp"   // ByName
#include "kernel.hpp"       // pipes, sockets, FIFOs, regular files, Io
#include "raised.hpp"       // raised_by, Value
#include "thread_state.hpp" // await_blocked_in_ppoll

#include <zelt.h>         // zl_io_read_pending, zl_io_record
#include <zelt/embed.hpp> // call, inspect, integer

#include <test_hooks.hpp> // read_buffer_capacity

#include <cstdlib>       // atoi: a datagram's number
#include <future>        // the reader waiting for the rest of its line
#include <gtest/gtest.h> // TEST_P
#include <latch>         // the reader's thread id
#include <string>        // long lines
#include <sys/ioctl.h>   // FIONREAD: what the kernel still holds
#include <sys/socket.h>  // socketpair: datagrams
#include <thread>        // a writer feeding a line longer than the pipe holds
#include <unistd.h>      // gettid, dup
#include <vector>        // which reader got which datagram

namespace rt_test {
namespace {

int pending(zl_value io) { return zl_io_read_pending(zl_io_record(io)); }

int kernel_bytes(int fd) {
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// Makes a call and gives its result as it prints, releasing the result.
std::string call_inspected(zl_value io, const char *method, int length) {
    Value result(length < 0 ? zelt::call(io, method)
                            : zelt::call(io, method, {zelt::integer(length)}));
    return zelt::inspect(result);
}

// One step of a read script; the peer's action comes before the call.
struct Step {
    const char *peer_writes; // written to the peer first, when not null
    bool peer_hangs_up;      // then the peer closes its end
    const char *method;
    int length; // read's argument, -1 for none
    const char *result;
    int pending_after;
};

// "a\nbcd\n" arrives at once: gets reads it all ahead and hands out one line.
const Step kScript[] = {
    {"a\nbcd\n", false, "gets", -1, R"("a\n")", 4}, {nullptr, false, "read", 2, R"("bc")", 2},
    {nullptr, false, "read", 0, R"("")", 2},        {nullptr, false, "gets", -1, R"("d\n")", 0},
    {"xyz", true, "gets", -1, R"("xyz")", 0},       {nullptr, false, "gets", -1, "nil", 0},
    {nullptr, false, "read", 3, "nil", 0},          {nullptr, false, "read", -1, R"("")", 0},
};

struct StreamKind {
    const char *name;
    zt::Ends (*make)();
};

void PrintTo(const StreamKind &c, std::ostream *os) { *os << c.name; }

class ReadBuffer : public ::testing::TestWithParam<StreamKind> {};

TEST_P(ReadBuffer, ServesWhatWasReadAhead) {
    zt::Ends ends = GetParam().make();
    const int fd = ends.near.get();
    zt::Io io(std::move(ends.near));
    EXPECT_EQ(pending(io), 0);
    for (const Step &s : kScript) {
        SCOPED_TRACE(std::string(s.method) + "(" + std::to_string(s.length) + ") expecting " +
                     s.result);
        if (s.peer_writes) zt::write_all(ends.peer.get(), s.peer_writes);
        if (s.peer_hangs_up) ends.peer.reset();
        EXPECT_EQ(call_inspected(io, s.method, s.length), s.result);
        EXPECT_EQ(pending(io), s.pending_after);
        EXPECT_EQ(kernel_bytes(fd), 0) << "the buffer should hold all that arrived";
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, ReadBuffer,
                         ::testing::Values(StreamKind{"pipe", zt::make_pipe},
                                           StreamKind{"socketpair", zt::make_socketpair},
                                           StreamKind{"tcp", zt::make_tcp},
                                           StreamKind{"fifo", zt::make_fifo}),
                         ByName());

TEST(ReadAheadBuffer, LineLongerThanOneChunkComesWhole) {
    zt::Ends pipe = zt::make_pipe();
    const std::string line = std::string(20000, 'x') + "\n";
    zt::write_all(pipe.peer.get(), line + "tail");
    pipe.peer.reset();
    zt::Io io(std::move(pipe.near));
    Value first(zelt::call(io, "gets"));
    EXPECT_EQ(zelt::string_value(first), line);
    Value rest(zelt::call(io, "read"));
    EXPECT_EQ(zelt::string_value(rest), "tail");
}

// A reader holding the start of a line waits for the rest in its next fill;
// meanwhile the bytes it holds are buffered, and every thread sees them.
TEST(ReadAheadBuffer, BytesHeldForAnUnfinishedLineAreSeenFromOtherThreads) {
    zt::require_wait();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    pid_t tid = 0;
    std::latch announced(1);
    auto reader = std::async(std::launch::async, [&] {
        tid = ::gettid();
        announced.count_down();
        Value line(zelt::call(io, "gets"));
        return zelt::string_value(line);
    });
    announced.wait();
    ASSERT_TRUE(await_blocked_in_ppoll(tid));
    zt::write_all(pipe.peer.get(), "abc");
    while (kernel_bytes(fd) != 0) std::this_thread::yield(); // the reader takes "abc" ...
    ASSERT_TRUE(await_blocked_in_ppoll(tid));                // ... and waits for the rest
    EXPECT_EQ(pending(io), 3);
    EXPECT_EQ(call_inspected(io, "nread", -1), "3");
    EXPECT_EQ(call_inspected(io, "ready?", -1), "true");
    zt::write_all(pipe.peer.get(), "d\n");
    EXPECT_EQ(reader.get(), "abcd\n");
    EXPECT_EQ(pending(io), 0);
}

// The buffer grows to hold a long line whole, and gives the memory back once
// the line is handed out: what it holds then is what short lines need.
TEST(ReadAheadBuffer, GivesBackWhatALongLineTook) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    zt::write_all(pipe.peer.get(), "a\n");
    Value first(zelt::call(io, "gets"));
    const std::size_t ordinary = zelt::test_hooks::read_buffer_capacity(io);
    ASSERT_GT(ordinary, 0u);

    const std::string line = std::string(std::size_t{8} << 20, 'x') + "\n";
    std::thread writer([&] { // far more than the pipe holds: written as the reader drains it
        zt::write_all(pipe.peer.get(), line + "tail\n");
    });
    Value long_line(zelt::call(io, "gets"));
    writer.join();
    EXPECT_EQ(zelt::string_value(long_line).size(), line.size());
    EXPECT_LE(zelt::test_hooks::read_buffer_capacity(io), 4 * ordinary)
        << "the buffer kept what the long line took";
    EXPECT_EQ(call_inspected(io, "gets", -1), R"("tail\n")");
    EXPECT_EQ(pending(io), 0);
}

// Each read of a datagram socket takes one datagram, and what does not fit is
// dropped: a datagram longer than the buffer's free room must still come
// whole, and the room it took goes back once it has been handed out.
struct DatagramCase {
    const char *name;
    int type;        // SOCK_DGRAM or SOCK_SEQPACKET
    bool read_ahead; // either way a read takes the whole datagram
};

void PrintTo(const DatagramCase &c, std::ostream *os) { *os << c.name; }

class LongDatagrams : public ::testing::TestWithParam<DatagramCase> {};

TEST_P(LongDatagrams, EachComesWhole) {
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, GetParam().type | SOCK_CLOEXEC, 0, sv), 0);
    zt::Fd peer(sv[1]);
    const int fd = sv[0];
    zt::Io io(sv[0]);
    zelt::io_set_read_ahead(io, GetParam().read_ahead);
    zt::write_all(peer.get(), "a\n");
    EXPECT_EQ(call_inspected(io, "gets", -1), R"("a\n")");
    const std::size_t ordinary = zelt::test_hooks::read_buffer_capacity(io);
    // Longer than a buffer's room, short, longer than two, past what it keeps.
    const std::size_t sizes[] = {10001, 5, 20000, 40000};
    std::string datagrams[std::size(sizes)];
    char mark = 'b';
    for (std::size_t i = 0; i < std::size(sizes); ++i) { // queued together, a mark each
        datagrams[i] = std::string(sizes[i] - 1, mark++) + "\n";
        zt::write_all(peer.get(), datagrams[i]);
    }
    ASSERT_EQ(::send(peer.get(), "", 0, 0), 0); // ends a read that ran on past the last newline
    // The first datagram that comes cut or joined ends the test: its lost
    // bytes would leave the next gets waiting.
    for (const std::string &sent : datagrams) {
        Value line(zelt::call(io, "gets"));
        ASSERT_NE(static_cast<zl_value>(line), ZL_NIL) << "no line for the datagram of " << sent[0];
        const std::string got = zelt::string_value(line);
        ASSERT_TRUE(got == sent) << "the datagram of " << sent.size() << " '" << sent[0]
                                 << "' came as " << got.size() << " bytes, from '" << got.front()
                                 << "' to '" << got.substr(got.size() < 2 ? 0 : got.size() - 2, 1)
                                 << "'";
    }
    EXPECT_EQ(pending(io), 0);
    EXPECT_EQ(kernel_bytes(fd), 0);
    EXPECT_LE(zelt::test_hooks::read_buffer_capacity(io), 4 * ordinary)
        << "the buffer kept what the long datagram took";
}

INSTANTIATE_TEST_SUITE_P(Runtime, LongDatagrams,
                         ::testing::Values(DatagramCase{"dgram", SOCK_DGRAM, true},
                                           DatagramCase{"dgram_exact", SOCK_DGRAM, false},
                                           DatagramCase{"seqpacket", SOCK_SEQPACKET, true},
                                           DatagramCase{"seqpacket_exact", SOCK_SEQPACKET, false}),
                         ByName());

// Two IO objects on one datagram socket (a descriptor and its dup) read at
// once while short and long datagrams alternate: whichever reader takes a
// datagram takes all of it, never a datagram cut to the room made for
// another that the other reader took first.
struct SharedSocketCase {
    const char *name;
    int type;
};

void PrintTo(const SharedSocketCase &c, std::ostream *os) { *os << c.name; }

class SharedDatagramSocket : public ::testing::TestWithParam<SharedSocketCase> {};

// Datagram I: its number and length, filled up to that length, a newline last.
std::string numbered_datagram(int i) {
    const std::size_t length = i % 2 ? 9000 + static_cast<std::size_t>(i % 7) * 1500 : 20;
    std::string d = std::to_string(i) + ":" + std::to_string(length) + ":";
    d.resize(length - 1, '.');
    return d + "\n";
}

TEST_P(SharedDatagramSocket, EveryDatagramComesWholeToOneReader) {
    constexpr int kDatagrams = 20000;
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, GetParam().type | SOCK_CLOEXEC, 0, sv), 0);
    zt::Fd peer(sv[1]);
    zt::Io first(::dup(sv[0])), second(sv[0]);
    std::vector<int> times(kDatagrams);
    auto read_all = [&](zl_value io, std::vector<int> &got, std::string &wrong) {
        for (;;) {
            zl_value v = ZL_NIL;
            try {
                v = zelt::call(io, "gets");
            } catch (const zelt::Error &e) {
                wrong = e.what();
                return;
            }
            if (v == ZL_NIL) return; // an empty datagram: the writer is done
            const std::string d = zelt::string_value(v);
            zelt::release(v);
            const int i = std::atoi(d.c_str()); // 0 for a tail that lost its head
            if ((i < 0 || i >= kDatagrams || d != numbered_datagram(i)) && wrong.empty())
                wrong = "datagram " + std::to_string(i) + " came as " + std::to_string(d.size()) +
                        " bytes: " + d.substr(0, 24);
            if (i >= 0 && i < kDatagrams) got.push_back(i);
        }
    };
    std::vector<int> got[2];
    std::string wrong[2];
    std::thread readers[] = {
        std::thread(read_all, first.value(), std::ref(got[0]), std::ref(wrong[0])),
        std::thread(read_all, second.value(), std::ref(got[1]), std::ref(wrong[1]))};
    for (int i = 0; i < kDatagrams; ++i) zt::write_all(peer.get(), numbered_datagram(i));
    for (int reader = 0; reader < 2; ++reader) ASSERT_EQ(::send(peer.get(), "", 0, 0), 0);
    for (auto &r : readers) r.join();
    EXPECT_EQ(wrong[0] + wrong[1], "");
    for (const auto &g : got)
        for (int i : g) ++times[static_cast<std::size_t>(i)];
    for (int i = 0; i < kDatagrams; ++i) ASSERT_EQ(times[static_cast<std::size_t>(i)], 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Runtime, SharedDatagramSocket,
                         ::testing::Values(SharedSocketCase{"dgram", SOCK_DGRAM},
                                           SharedSocketCase{"seqpacket", SOCK_SEQPACKET}),
                         ByName());

TEST(ReadAheadBuffer, RegularFileEndsWithoutNewline) {
    zt::Io io(zt::regular_file("one\ntwo"));
    EXPECT_EQ(call_inspected(io, "gets", -1), R"("one\n")");
    EXPECT_EQ(pending(io), 3);
    EXPECT_EQ(call_inspected(io, "gets", -1), R"("two")");
    EXPECT_EQ(call_inspected(io, "gets", -1), "nil");
}

TEST(ReadAheadBuffer, ReadLengthMustBeANonNegativeInteger) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "abc");
    zt::Io io(std::move(pipe.near));
    EXPECT_EQ(raised_by([&] { zelt::call(io, "read", {zelt::integer(-1)}); }).class_name,
              "ArgumentError");
    EXPECT_EQ(raised_by([&] { zelt::call(io, "read", {ZL_TRUE}); }).class_name, "TypeError");
    EXPECT_EQ(raised_by([&] {
                  zelt::call(io, "read", {zelt::integer(1), zelt::integer(2)});
              }).class_name,
              "ArgumentError");
    EXPECT_EQ(kernel_bytes(zelt::io_fd(io)), 3) << "a refused read read nothing";
    EXPECT_EQ(call_inspected(io, "read", 3), R"("abc")");
}

} // namespace
} // namespace rt_test
