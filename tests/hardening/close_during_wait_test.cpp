// close_during_wait_test.cpp: a close from another thread at any moment of a blocking call.
//
// Each round starts a call that can only end by the close (an empty pipe whose
// peer stays open), closes the IO from this thread after a random spin, and
// expects the call to raise IOError "closed stream", within a bounded time,
// with the descriptor given back once the call has left.
#include <kernel.hpp> // zt::make_pipe, Io, open_fd_count, write_all, require_wait

#include <gtest/gtest.h> // TEST_P

#include <atomic>     // started
#include <chrono>     // the watchdog's limit
#include <cstdint>    // uint64_t
#include <cstdlib>    // abort
#include <functional> // the blocking call
#include <future>     // the call's outcome
#include <ostream>    // PrintTo
#include <random>     // when to close
#include <string>     // outcomes
#include <thread>     // the caller's thread

namespace {

using namespace std::chrono_literals;

constexpr int kRounds = 1000;
constexpr auto kRoundLimit = 5s; // a round that takes longer hangs

struct BlockingCall {
    const char *name;
    std::function<zl_value(zl_value)> call;
};

const BlockingCall kCalls[] = {
    {"wait", [](zl_value io) { return zelt::call(io, "wait"); }},
    {"wait_nil", [](zl_value io) { return zelt::call(io, "wait", {ZL_NIL}); }},
    {"gets", [](zl_value io) { return zelt::call(io, "gets"); }},
    {"read_1", [](zl_value io) { return zelt::call(io, "read", {zelt::integer(1)}); }},
};

// Test names and listings show the call by name.
void PrintTo(const BlockingCall &c, std::ostream *out) { *out << c.name; }

// What the call ended in: "IOError: closed stream", or what it returned.
std::string outcome_of(const BlockingCall &c, zl_value io, std::atomic<bool> &started) {
    started.store(true);
    try {
        zl_value v = c.call(io);
        return "returned " + zelt::inspect(v);
    } catch (const zelt::Error &e) {
        return e.what();
    }
}

// Spins for a random while, from nothing to a few hundred microseconds: the
// close lands before, while and after the call starts to block.
void spin(std::mt19937 &rng) {
    static const uint64_t lengths[] = {0, 10, 100, 1000, 10000, 100000, 400000};
    uint64_t n = lengths[rng() % std::size(lengths)];
    n = n ? rng() % n : 0;
    static std::atomic<uint64_t> sink{0}; // keeps the loop from being optimised away
    for (uint64_t i = 0; i < n; ++i) sink.fetch_add(1, std::memory_order_relaxed);
}

class CloseDuringCall : public ::testing::TestWithParam<BlockingCall> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(CloseDuringCall, RaisesClosedStreamAndGivesTheDescriptorBack) {
    const int open_before = zt::open_fd_count();
    std::mt19937 rng(12345);
    for (int round = 0; round < kRounds; ++round) {
        zt::Ends ends = zt::make_pipe();
        zt::Io io(std::move(ends.near));
        std::atomic<bool> started{false};
        std::packaged_task<std::string()> task([&] { return outcome_of(GetParam(), io, started); });
        std::future<std::string> outcome = task.get_future();
        std::thread caller(std::move(task));
        while (!started.load()) std::this_thread::yield();
        spin(rng);
        zelt::call(io, "close");

        if (outcome.wait_for(kRoundLimit) != std::future_status::ready) {
            ADD_FAILURE() << "round " << round << ": " << GetParam().name << " still blocked "
                          << "5 s after the close";
            zt::write_all(ends.peer.get(),
                          "x\n"); // end it some other way, to report rather than hang
            if (outcome.wait_for(kRoundLimit) != std::future_status::ready) std::abort();
        }
        caller.join();
        ASSERT_EQ(outcome.get(), "IOError: closed stream") << "round " << round;
        ASSERT_EQ(zelt::io_fd(io), -1)
            << "round " << round << ": descriptor kept after the call left";
    }
    EXPECT_EQ(zt::open_fd_count(), open_before) << "descriptors leaked";
}

INSTANTIATE_TEST_SUITE_P(Calls, CloseDuringCall, ::testing::ValuesIn(kCalls),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
