// blocking_test.cpp: how long wait blocks: until a peer sends, until its limit
// passes, not at all for a limit of zero or at end of stream, without end when
// given no limit.
#include "calls.hpp"   // Held, seconds_since
#include "kernel.hpp"  // zt::Io, zt::make_*
#include "streams.hpp" // closable_peer_kinds
#include "waiter.hpp"  // Waiter

#include <gtest/gtest.h>

#include <chrono> // timing
#include <string> // test names
#include <thread> // std::jthread: the peer that sends later

namespace wait_suite {
namespace {

using namespace std::chrono_literals;
using zelt::call;
using zelt::integer;

constexpr auto kWatchdog = 5s; // far beyond any wait here that ends by itself

TEST(Wait, ReturnsTheReceiverWhenAPeerSendsWithinTheLimit) {
    zt::Ends tcp = zt::make_tcp();
    zt::Io io(std::move(tcp.near));
    std::jthread peer([&] {
        std::this_thread::sleep_for(1s); // the behaviour under test: data that comes later
        zt::write_all(tcp.peer.get(), "hello");
    });
    Held limit(zelt::flt(2.5));
    const auto start = std::chrono::steady_clock::now();
    const zl_value result = call(io, "wait", {limit});
    const double took = seconds_since(start);
    EXPECT_EQ(result, io.value());
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 2.4) << "it returned on the data, not at the limit";
    EXPECT_EQ(call(io, "nread"), integer(5));
}

TEST(Wait, ZeroLimitAnswersNilAtOnce) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    Held zero(zelt::flt(0.0));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(io, "wait", {integer(0)}), ZL_NIL);
    EXPECT_EQ(call(io, "wait", {zero}), ZL_NIL);
    EXPECT_LT(seconds_since(start), 1.0);
}

TEST(Wait, ShortLimitPassesAndAnswersNil) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    Held limit(zelt::flt(0.2));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(call(io, "wait", {limit}), ZL_NIL);
    const double took = seconds_since(start);
    EXPECT_GE(took, 0.19);
    EXPECT_LT(took, 2.0);
}

// wait and wait(nil) block until input comes, however long that takes.
class WithoutLimit : public testing::TestWithParam<bool> {}; // true: wait(nil)

TEST_P(WithoutLimit, BlocksUntilAPeerSends) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    const bool with_nil = GetParam();
    Waiter waiter(io, [with_nil](zl_value io) {
        return with_nil ? call(io, "wait", {ZL_NIL}) : call(io, "wait");
    });
    ASSERT_TRUE(waiter.blocks_in_ppoll(kWatchdog)) << "the call did not block";
    zt::write_all(pipe.peer.get(), "x");
    ASSERT_TRUE(waiter.finishes_within(kWatchdog)) << "the data did not end the wait";
    ASSERT_FALSE(waiter.error()) << waiter.error()->what();
    EXPECT_EQ(waiter.result(), io.value());
}

INSTANTIATE_TEST_SUITE_P(Forms, WithoutLimit, testing::Bool(),
                         [](const auto &info) { return info.param ? "wait_nil" : "wait"; });

// Once the peer has gone, the descriptor is ready at once: the kernel's count
// then says whether anything is left to read.
class PeerGone : public testing::TestWithParam<PeerKind> {};

TEST_P(PeerGone, WaitWithoutLimitAnswersNilAtOnce) {
    zt::Ends ends = GetParam().make();
    zt::Io io(std::move(ends.near));
    ends.peer.reset();
    Waiter waiter(io, [](zl_value io) { return call(io, "wait"); });
    ASSERT_TRUE(waiter.finishes_within(kWatchdog)) << "wait hung at end of stream";
    ASSERT_FALSE(waiter.error()) << waiter.error()->what();
    EXPECT_EQ(waiter.result(), ZL_NIL);
    EXPECT_EQ(call(io, "ready?"), ZL_FALSE);
    EXPECT_EQ(call(io, "nread"), integer(0));
}

TEST_P(PeerGone, BytesSentBeforeItWentAreStillReported) {
    zt::Ends ends = GetParam().make();
    zt::write_all(ends.peer.get(), "bye");
    ends.peer.reset();
    settle(ends.near.get(), 3);
    zt::Io io(std::move(ends.near));
    EXPECT_EQ(call(io, "wait"), io.value());
    EXPECT_EQ(call(io, "nread"), integer(3));
}

INSTANTIATE_TEST_SUITE_P(Kinds, PeerGone, testing::ValuesIn(closable_peer_kinds()),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace wait_suite
