// close_during_wait_test.cpp: a close from another thread ends every blocking
// call on the stream, whenever it lands.
//
// Each round starts calls that can only end by the close (an empty pipe whose
// peer stays open) and closes the IO from this thread at one moment of them.
// Every call then ends promptly, the extension's and the runtime's own with
// IOError "closed stream", the runtime's descriptor wait (made inside a method
// call, as an extension makes it) with 0 and the stream seen closed; the
// descriptor stays open under a call that waited and is given back once the
// calls have left; nothing asks the kernel for a count.
#include <in_syscall.hpp>   // zh::blocks_in
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it

#include <kernel.hpp>        // zt::make_pipe, Io, Held, open_fd_count, write_all, require_wait
#include <syscall_count.hpp> // zt::syscalls::Counter

#include <zelt.h>         // zl_define_method, zl_wait_for_single_fd, zl_io_check_closed
#include <zelt/embed.hpp> // call, intern, inspect, integer, io_fd

#include <gtest/gtest.h> // TEST_P

#include <atomic>   // the callers' thread ids
#include <cerrno>   // errno, EBADF
#include <chrono>   // promptness, the watchdog's limit
#include <cstdint>  // uint64_t
#include <cstdlib>  // abort
#include <fcntl.h>  // fcntl: whether the descriptor is open
#include <future>   // the calls' outcomes
#include <ostream>  // PrintTo
#include <random>   // when to close
#include <string>   // outcomes
#include <unistd.h> // gettid
#include <vector>   // several callers

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kPrompt = 2s;     // a close ends every call well within this
constexpr auto kRoundLimit = 5s; // a call still running then sleeps through the close

// ---- the runtime's descriptor wait, inside a method call ----------------------------

constexpr const char *kWaitInCall = "zh_wait_in_call"; // a name no real method has

// What the waiting method saw inside its call once its wait had returned.
struct InCall {
    int result = 99;
    int err = 0;
    bool fd_open = false;     // the descriptor survives a close while the call lasts
    bool sees_closed = false; // the record tells the close
};
thread_local InCall in_call;

// wait(limit = nil) on the receiver's own descriptor, as an extension makes it.
zl_value wait_in_call(int argc, const zl_value *argv, zl_value self) {
    zl_openfile *record = zl_io_record(zl_io_taint_check(self));
    zl_value limit = ZL_NIL;
    zl_scan_args(argc, argv, "01", &limit);
    timeval interval{};
    in_call = {};
    if (limit != ZL_NIL) interval = zl_time_interval(limit);
    in_call.result = zl_wait_for_single_fd(record->fd, 1, limit == ZL_NIL ? nullptr : &interval);
    in_call.err = errno;
    in_call.fd_open = ::fcntl(record->fd, F_GETFD) != -1;
    try {
        zl_io_check_closed(record);
    } catch (const zelt::Error &) {
        in_call.sees_closed = true;
    }
    return zl_int_new(in_call.result);
}

// ---- the calls and the moments of the close ------------------------------------------

enum class Call {
    descriptor_wait, // no limit
    descriptor_wait_0,
    descriptor_wait_10,
    wait,
    wait_nil,
    wait_30,
    gets,
    read, // to the end
    read_5,
    read_1,
};

bool is_descriptor_wait(Call c) {
    return c == Call::descriptor_wait || c == Call::descriptor_wait_0 ||
           c == Call::descriptor_wait_10;
}

enum class Moment {
    before_the_call,
    as_the_call_starts,  // a short random spin, the caller's thread just started
    after_a_random_spin, // once the caller is about to call
    while_blocked,       // once every caller sits in ppoll
    each_in_turn,        // round by round, the three above
};

struct CloseCase {
    const char *name;
    Call call;
    Moment moment;
    int callers;
    int rounds;
};

void PrintTo(const CloseCase &c, std::ostream *os) { *os << c.name; }

// clang-format off
const CloseCase kCases[] = {
    {"descriptor_wait_closed_before_the_call", Call::descriptor_wait, Moment::before_the_call, 1, 1},
    {"descriptor_wait_0_closed_before_the_call", Call::descriptor_wait_0, Moment::before_the_call, 1, 1},
    {"descriptor_wait_closed_as_the_call_starts", Call::descriptor_wait, Moment::as_the_call_starts, 1, 1},
    {"descriptor_wait_closed_while_blocked", Call::descriptor_wait, Moment::while_blocked, 1, 1},
    {"descriptor_wait_10_closed_while_blocked", Call::descriptor_wait_10, Moment::while_blocked, 1, 1},
    {"three_descriptor_waits_closed_while_blocked", Call::descriptor_wait, Moment::while_blocked, 3, 1},
    {"wait_closed_while_blocked", Call::wait, Moment::while_blocked, 1, 1},
    {"wait_30_closed_while_blocked", Call::wait_30, Moment::while_blocked, 1, 1},
    {"gets_closed_while_blocked", Call::gets, Moment::while_blocked, 1, 1},
    {"read_closed_while_blocked", Call::read, Moment::while_blocked, 1, 1},
    {"read_5_closed_while_blocked", Call::read_5, Moment::while_blocked, 1, 1},
    {"descriptor_wait_closed_at_any_moment", Call::descriptor_wait, Moment::each_in_turn, 1, 1000},
    {"wait_closed_at_any_moment", Call::wait, Moment::each_in_turn, 1, 1000},
    {"wait_nil_closed_at_any_moment", Call::wait_nil, Moment::each_in_turn, 1, 1000},
    {"gets_closed_at_any_moment", Call::gets, Moment::each_in_turn, 1, 1000},
    {"read_1_closed_at_any_moment", Call::read_1, Moment::each_in_turn, 1, 1000},
};
// clang-format on

// How a call ended: "IOError: closed stream", "returned ...", or for the
// descriptor wait "waited: N, stream closed" (or open).
struct Ended {
    std::string outcome;
    bool fd_open_in_call = false; // the descriptor wait's only
    Clock::time_point at;
};

zl_value make(Call call, zl_value io) {
    switch (call) {
    case Call::descriptor_wait: return zelt::call(io, kWaitInCall);
    case Call::descriptor_wait_0: return zelt::call(io, kWaitInCall, {zelt::integer(0)});
    case Call::descriptor_wait_10: return zelt::call(io, kWaitInCall, {zelt::integer(10)});
    case Call::wait: return zelt::call(io, "wait");
    case Call::wait_nil: return zelt::call(io, "wait", {ZL_NIL});
    case Call::wait_30: return zelt::call(io, "wait", {zelt::integer(30)});
    case Call::gets: return zelt::call(io, "gets");
    case Call::read: return zelt::call(io, "read");
    case Call::read_5: return zelt::call(io, "read", {zelt::integer(5)});
    case Call::read_1: return zelt::call(io, "read", {zelt::integer(1)});
    }
    return ZL_NIL;
}

Ended ended_by(Call call, zl_value io) {
    Ended e;
    try {
        zt::Held result(make(call, io));
        e.outcome = "returned " + zelt::inspect(result);
        if (is_descriptor_wait(call)) {
            e.outcome = "waited: " + std::to_string(in_call.result) +
                        (in_call.result < 0 ? " errno " + std::to_string(in_call.err) : "") +
                        (in_call.sees_closed ? ", stream closed" : ", stream open");
            e.fd_open_in_call = in_call.fd_open;
        }
    } catch (const zelt::Error &err) {
        e.outcome = err.what();
    }
    e.at = Clock::now();
    return e;
}

// Spins for up to N iterations of a relaxed atomic add: a short, random delay.
void spin(uint64_t n) {
    static std::atomic<uint64_t> sink{0}; // keeps the loop from being optimised away
    for (uint64_t i = 0; i < n; ++i) sink.fetch_add(1, std::memory_order_relaxed);
}

class CloseDuringCall : public ::testing::TestWithParam<CloseCase> {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        zl_define_method(zl_cIO, kWaitInCall, ZL_FUNC(wait_in_call), -1);
    }
};

// One round: what went wrong, or nothing.
std::string one_round(const CloseCase &c, Moment moment, std::mt19937 &rng) {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    if (moment == Moment::before_the_call) zelt::call(io, "close");

    std::vector<std::atomic<pid_t>> tids(c.callers);
    std::vector<std::future<Ended>> callers;
    callers.reserve(c.callers);
    for (int i = 0; i < c.callers; ++i)
        callers.push_back(std::async(std::launch::async, [&, i] {
            tids[i].store(::gettid());
            return ended_by(c.call, io);
        }));
    auto await_callers = [&] {
        for (auto &tid : tids)
            while (!tid.load()) std::this_thread::yield();
    };
    std::string failures;
    switch (moment) {
    case Moment::before_the_call: break;
    case Moment::as_the_call_starts: spin(rng() % 2000); break;
    case Moment::after_a_random_spin:
        await_callers();
        spin(rng() % 100000);
        break;
    case Moment::while_blocked:
        await_callers();
        for (auto &tid : tids)
            if (!zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms))
                failures += "a call never blocked in ppoll; ";
        break;
    case Moment::each_in_turn: break;
    }
    zt::syscalls::Counter syscalls;
    const auto closed_at = Clock::now();
    if (moment != Moment::before_the_call) zelt::call(io, "close");

    bool rescued = false;
    for (auto &f : callers) {
        if (f.wait_until(closed_at + kRoundLimit) == std::future_status::ready) continue;
        if (!rescued) zt::write_all(pipe.peer.get(), "x\n"); // ends it, to report rather than hang
        rescued = true;
        if (f.wait_for(kRoundLimit) != std::future_status::ready) std::abort();
    }
    if (rescued) failures += "a call slept through the close; ";
    const std::string expected =
        is_descriptor_wait(c.call) ? "waited: 0, stream closed" : "IOError: closed stream";
    for (auto &f : callers) {
        Ended e = f.get();
        if (e.outcome != expected) failures += "a call ended in " + e.outcome + "; ";
        if (e.at - closed_at >= kPrompt)
            failures += "a call ended " + std::to_string((e.at - closed_at) / 1ms) +
                        " ms after the close; ";
        if (is_descriptor_wait(c.call) && moment == Moment::while_blocked && !e.fd_open_in_call)
            failures += "the descriptor was given back under the call; ";
    }
    if (moment == Moment::while_blocked && syscalls.ioctls() != 0)
        failures += "a closed stream's count was asked for; ";
    if (zelt::call(io, "closed?") != ZL_TRUE) failures += "closed? is not true; ";
    try {
        zelt::call(io, "ready?");
        failures += "ready? on the closed stream returned; ";
    } catch (const zelt::Error &e) {
        if (std::string(e.what()) != "IOError: closed stream")
            failures += std::string("ready? raised ") + e.what() + "; ";
    }
    if (zelt::io_fd(io) != -1) failures += "descriptor kept after the calls left; ";
    errno = 0;
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) failures += "descriptor still open; ";
    return failures;
}

TEST_P(CloseDuringCall, EndsPromptlyWithClosedStreamAndGivesTheDescriptorBack) {
    const CloseCase &c = GetParam();
    const int open_before = zt::open_fd_count();
    std::mt19937 rng(12345);
    for (int round = 0; round < c.rounds; ++round) {
        const Moment moment = c.moment != Moment::each_in_turn ? c.moment
                              : round % 3 == 0                 ? Moment::as_the_call_starts
                              : round % 3 == 1                 ? Moment::after_a_random_spin
                                                               : Moment::while_blocked;
        ASSERT_EQ(one_round(c, moment, rng), "") << "round " << round;
    }
    EXPECT_EQ(zt::open_fd_count(), open_before) << "descriptors leaked";
}

INSTANTIATE_TEST_SUITE_P(Table, CloseDuringCall, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
