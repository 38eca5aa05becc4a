// close_during_wait_test.cpp: a close from another thread at any moment of a blocking call.
//
// Each round starts a call that can only end by the close (an empty pipe whose
// peer stays open), closes the IO from this thread at one of three moments, and
// expects the call to raise IOError "closed stream", within a bounded time,
// with the descriptor given back once the call has left.
#include <in_syscall.hpp> // zh::blocks_in

#include <ppoll_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it

#include <kernel.hpp> // zt::make_pipe, Io, open_fd_count, write_all, require_wait

#include <gtest/gtest.h> // TEST_P

#include <atomic>     // the caller's thread id
#include <chrono>     // the watchdog's limit
#include <cstdint>    // uint64_t
#include <cstdlib>    // abort
#include <functional> // the blocking call
#include <future>     // the call's outcome
#include <ostream>    // PrintTo
#include <random>     // when to close
#include <string>     // outcomes
#include <thread>     // the caller's thread
#include <unistd.h>   // gettid

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

// The caller's thread id, once it is about to make the call.
struct Caller {
    std::atomic<pid_t> tid{0};
};

// What the call ended in: "IOError: closed stream", or what it returned.
std::string outcome_of(const BlockingCall &c, zl_value io, Caller &caller) {
    caller.tid.store(::gettid());
    try {
        zl_value v = c.call(io);
        return "returned " + zelt::inspect(v);
    } catch (const zelt::Error &e) {
        return e.what();
    }
}

// Spins for up to N iterations of a relaxed atomic add: a short, random delay.
void spin(uint64_t n) {
    static std::atomic<uint64_t> sink{0}; // keeps the loop from being optimised away
    for (uint64_t i = 0; i < n; ++i) sink.fetch_add(1, std::memory_order_relaxed);
}

// Holds the close back for one of three moments, in turn: as the caller's
// thread starts (before the call, or as it enters), a random spin after the
// caller is about to call, or once the caller sits in ppoll.
void before_close(int round, const Caller &caller, std::mt19937 &rng) {
    switch (round % 3) {
    case 0: spin(rng() % 2000); return;
    case 1:
        while (!caller.tid.load()) std::this_thread::yield();
        spin(rng() % 100000);
        return;
    default:
        while (!caller.tid.load()) std::this_thread::yield();
        zh::blocks_in(caller.tid.load(), zt::ppoll_seen(),
                      2000ms); // if not, the close comes anyway
    }
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
        Caller state;
        std::packaged_task<std::string()> task([&] { return outcome_of(GetParam(), io, state); });
        std::future<std::string> outcome = task.get_future();
        std::thread caller(std::move(task));
        before_close(round, state, rng);
        zelt::call(io, "close");

        const bool hung = outcome.wait_for(kRoundLimit) != std::future_status::ready;
        if (hung) { // end the call some other way, to report rather than hang
            zt::write_all(ends.peer.get(), "x\n");
            if (outcome.wait_for(kRoundLimit) != std::future_status::ready) std::abort();
        }
        caller.join();
        ASSERT_FALSE(hung) << "round " << round << ": " << GetParam().name
                           << " still blocked 5 s after the close";
        ASSERT_EQ(outcome.get(), "IOError: closed stream") << "round " << round;
        ASSERT_EQ(zelt::io_fd(io), -1)
            << "round " << round << ": descriptor kept after the call left";
    }
    EXPECT_EQ(zt::open_fd_count(), open_before) << "descriptors leaked";
}

INSTANTIATE_TEST_SUITE_P(Calls, CloseDuringCall, ::testing::ValuesIn(kCalls),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
