// outcomes_test.cpp: what nread, ready? and wait answer on each kind of
// descriptor, from the kernel's count alone (nothing buffered by the runtime).
#include "calls.hpp"   // Held, raised, read_bytes
#include "kernel.hpp"  // zt::Io, zt::Fd
#include "streams.hpp" // readable_kinds, listening_tcp

#include <gtest/gtest.h>

#include <algorithm>    // std::min
#include <cerrno>       // ENOTTY, EINVAL, EIO, EAGAIN
#include <cstring>      // strerrorname_np
#include <fcntl.h>      // open, fcntl, F_SETPIPE_SZ
#include <ostream>      // PrintTo
#include <stdexcept>    // std::runtime_error
#include <string>       // contents
#include <sys/socket.h> // setsockopt
#include <unistd.h>     // write
#include <utility>      // std::pair

namespace wait_suite {
namespace {

using zelt::call;
using zelt::integer;

class ReadableKind : public testing::TestWithParam<StreamKind> {};

TEST_P(ReadableKind, EmptyHasNothingWaiting) {
    Filled stream = GetParam().make("");
    zt::Io io(std::move(stream.near));
    EXPECT_EQ(call(io, "ready?"), ZL_FALSE);
    EXPECT_EQ(call(io, "nread"), integer(0));
    EXPECT_EQ(call(io, "wait", {integer(0)}), ZL_NIL);
}

TEST_P(ReadableKind, BytesInTheKernelAreCountedAndLeftUnread) {
    const std::string bytes = "line one\nrest";
    Filled stream = GetParam().make(bytes);
    zt::Io io(std::move(stream.near));
    EXPECT_EQ(call(io, "ready?"), ZL_TRUE);
    EXPECT_EQ(call(io, "nread"), integer(static_cast<int64_t>(bytes.size())));
    EXPECT_EQ(call(io, "wait", {integer(0)}), io.value()) << "the receiver itself";
    EXPECT_EQ(call(io, "wait"), io.value()) << "no limit, input already there";
    Held limit(zelt::flt(2.5));
    EXPECT_EQ(call(io, "wait", {limit}), io.value());
    EXPECT_EQ(read_bytes(io, static_cast<int64_t>(bytes.size())), bytes)
        << "the queries consume nothing";
}

INSTANTIATE_TEST_SUITE_P(Kinds, ReadableKind, testing::ValuesIn(readable_kinds()),
                         [](const auto &info) { return std::string(info.param.name); });

// Descriptors on which the kernel refuses FIONREAD.
struct RefusingKind {
    const char *name;
    zt::Fd (*make)();
    int refusal;          // the errno of the refused count
    bool always_readable; // so that a wait without limit ends at once too
};

void PrintTo(const RefusingKind &kind, std::ostream *os) { *os << kind.name; }

zt::Fd dev_null() { return zt::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

// A terminal whose controller has gone: hung up, readable at once, and EIO for any ioctl.
zt::Fd hung_up_terminal() {
    zt::Ends pty = zt::make_pty();
    pty.peer.reset();
    return std::move(pty.near);
}

class RefusingKindTest : public testing::TestWithParam<RefusingKind> {};

TEST_P(RefusingKindTest, QueriesAnswerNilAndZeroWhileWaitRaises) {
    const RefusingKind &kind = GetParam();
    zt::Fd fd = kind.make();
    ASSERT_GE(fd.get(), 0);
    zt::Io io(std::move(fd));
    EXPECT_EQ(call(io, "ready?"), ZL_NIL);
    EXPECT_EQ(call(io, "nread"), integer(0));

    auto refused = raised_by([&] { return call(io, "wait", {integer(0)}); });
    ASSERT_TRUE(raised(refused, "SystemCallError", strerrorname_np(kind.refusal)));
    EXPECT_EQ(refused->err(), kind.refusal);
    if (kind.always_readable) {
        refused = raised_by([&] { return call(io, "wait"); });
        ASSERT_TRUE(raised(refused, "SystemCallError", strerrorname_np(kind.refusal)));
        EXPECT_EQ(refused->err(), kind.refusal);
    }
    EXPECT_EQ(call(io, "ready?"), ZL_NIL) << "the stream stays usable after the raise";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RefusingKindTest,
    testing::Values(RefusingKind{"dev_null", dev_null, ENOTTY, true},
                    RefusingKind{"listening_tcp", listening_tcp, EINVAL, false},
                    RefusingKind{"hung_up_terminal", hung_up_terminal, EIO, true}),
    [](const auto &info) { return std::string(info.param.name); });

// Fills FD without blocking, up to WANT bytes; returns how many went in.
std::size_t fill_up_to(int fd, std::size_t want) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    const std::string block(std::size_t{64} * 1024, 'x');
    std::size_t sent = 0;
    while (sent < want) {
        ssize_t n = ::write(fd, block.data(), std::min(block.size(), want - sent));
        if (n < 0 && errno == EAGAIN) break; // full
        if (n < 0) throw std::runtime_error("write failed");
        sent += static_cast<std::size_t>(n);
    }
    return sent;
}

// Counts beyond 16 bits come back exact: a pipe and a socket pair grown to hold
// a megabyte (or what the system allows of it).
TEST(LargeCount, NreadIsExactlyWhatTheKernelHolds) {
    constexpr std::size_t kWant = 1 << 20;
    zt::Ends pipe = zt::make_pipe();
    ::fcntl(pipe.peer.get(), F_SETPIPE_SZ, static_cast<int>(kWant)); // capped by pipe-max-size
    zt::Ends pair = zt::make_socketpair();
    const int big = static_cast<int>(4 * kWant);
    ::setsockopt(pair.peer.get(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big); // capped by wmem_max
    ::setsockopt(pair.near.get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);

    for (auto [name, ends] : {std::pair{"pipe", &pipe}, std::pair{"socketpair", &pair}}) {
        SCOPED_TRACE(name);
        const std::size_t held = fill_up_to(ends->peer.get(), kWant);
        ASSERT_GT(held, 100000u) << "the kernel took too little to test a large count";
        settle(ends->near.get(), held);
        zt::Io io(std::move(ends->near));
        EXPECT_EQ(call(io, "nread"), integer(static_cast<int64_t>(held)));
        EXPECT_EQ(call(io, "ready?"), ZL_TRUE);
        EXPECT_EQ(call(io, "wait", {integer(0)}), io.value());
    }
}

} // namespace
} // namespace wait_suite
