// signals_during_wait_test.cpp: signals neither cut a wait short, nor stretch
// it, nor make it raise: the runtime's descriptor wait and the extension's
// wait alike, under every pace of signals, with a limit and without.
//
// A handler that does nothing, installed without SA_RESTART, makes each
// signal break the wait's ppoll with EINTR; the wait must go on for the time
// that is left, not for its whole limit again.
#include <in_syscall.hpp>   // zh::blocks_in
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it

#include <kernel.hpp> // zt::make_pipe, Io, Held, write_all, require_wait

#include <zelt.h>         // zl_wait_for_single_fd
#include <zelt/embed.hpp> // call, flt, inspect, io_fd

#include <gtest/gtest.h> // TEST_P

#include <atomic>    // handled; the waiter's progress
#include <cerrno>    // errno
#include <chrono>    // limits, durations
#include <cmath>     // llround
#include <csignal>   // sigaction, SIGUSR1
#include <ctime>     // nanosleep: the storm's pace
#include <ostream>   // PrintTo
#include <poll.h>    // POLLIN
#include <pthread.h> // pthread_kill
#include <string>    // outcomes, failures
#include <thread>    // the waiting thread
#include <unistd.h>  // gettid
#include <vector>    // the waits made

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::atomic<int> handled{0}; // signals that reached the handler

extern "C" void count_signal(int) { handled.fetch_add(1, std::memory_order_relaxed); }

enum class Layer {
    descriptor_wait, // zl_wait_for_single_fd, as an extension calls it
    wait_method,     // the extension's wait
};

enum class Pace {
    storm,        // one every millisecond, whatever the waiter is doing
    each_handled, // the next as soon as the last was handled
    each_blocked, // the next once the waiter sits in ppoll again
    one_late,     // a single one, half-way through the limit
};

// Upper bound on the time a wait may take past its limit or past the data:
// the kernel's timer slack plus scheduling on a loaded machine, far above both.
constexpr auto kLateness = 250ms;

struct SignalCase {
    const char *name;
    Layer layer;
    double limit; // seconds; below zero: no limit
    Pace pace;
    int signals;                // at least this many reach the waiter
    bool data;                  // the peer writes once `data_after` passed and the signals came
    Clock::duration data_after; // from the moment the waiter first sat in ppoll
    bool repeat;                // wait after wait until `signals` came, ten waits at least
    Clock::duration lateness;   // how long past its limit, or past the data, a wait may end
};

void PrintTo(const SignalCase &c, std::ostream *os) { *os << c.name; }

// clang-format off
const SignalCase kCases[] = {
    {"descriptor_wait_times_out_on_time_in_a_storm", Layer::descriptor_wait, 0.2, Pace::storm, 21, false, 0ms, false, kLateness},
    {"descriptor_wait_sees_late_data_in_a_storm", Layer::descriptor_wait, 5, Pace::storm, 21, true, 150ms, false, kLateness},
    {"descriptor_wait_without_limit_sees_late_data_in_a_storm", Layer::descriptor_wait, -1, Pace::storm, 21, true, 150ms, false, kLateness},
    // A wait that starts its whole limit again after the signal lasts 0.45 s.
    {"descriptor_wait_lasts_its_limit_after_one_late_signal", Layer::descriptor_wait, 0.3, Pace::one_late, 1, false, 0ms, false, 140ms},
    {"wait_lasts_its_limit_in_a_storm", Layer::wait_method, 0.3, Pace::storm, 11, false, 0ms, false, kLateness},
    {"wait_lasts_its_limit_after_one_late_signal", Layer::wait_method, 0.3, Pace::one_late, 1, false, 0ms, false, 140ms},
    {"wait_without_limit_ends_only_with_data_in_a_storm", Layer::wait_method, -1, Pace::storm, 20, true, 0ms, false, kLateness},
    {"wait_without_limit_ends_only_with_data_each_signal_once_blocked", Layer::wait_method, -1, Pace::each_blocked, 300, true, 0ms, false, kLateness},
    // Over 1 000 signals during waits, none cutting a wait short or stretching it.
    {"over_1000_signals_during_waits", Layer::wait_method, 0.05, Pace::each_handled, 1000, false, 0ms, true, 2s},
};
// clang-format on

// One wait as the case makes it: "ready", "timed out", or what went wrong.
std::string one_wait(const SignalCase &c, zl_value io) {
    if (c.layer == Layer::descriptor_wait) {
        const long long us = std::llround(c.limit * 1e6);
        timeval limit{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
        errno = 0;
        const int result =
            zl_wait_for_single_fd(zelt::io_fd(io), POLLIN, c.limit < 0 ? nullptr : &limit);
        if (result > 0) return "ready";
        return result == 0 ? "timed out" : "failed: errno " + std::to_string(errno);
    }
    try {
        zt::Held limit(c.limit < 0 ? ZL_NIL : zelt::flt(c.limit));
        const zl_value v = c.limit < 0 ? zelt::call(io, "wait") : zelt::call(io, "wait", {limit});
        if (v == io) return "ready";
        return v == ZL_NIL ? "timed out" : "returned " + zelt::inspect(v);
    } catch (const zelt::Error &e) {
        return std::string("raised ") + e.what();
    }
}

struct Wait {
    std::string outcome;
    Clock::time_point start, end;
};

// SIGUSR1 handled by count_signal, without SA_RESTART, for the test's length.
class SignalsDuringWait : public ::testing::TestWithParam<SignalCase> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
    void SetUp() override {
        struct sigaction sa {};
        sa.sa_handler = count_signal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0; // no SA_RESTART: ppoll fails with EINTR
        ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old_), 0);
        handled.store(0);
    }
    void TearDown() override { ::sigaction(SIGUSR1, &old_, nullptr); }

private:
    struct sigaction old_ {};
};

TEST_P(SignalsDuringWait, NeitherCutShortNorStretchedNorRaised) {
    const SignalCase &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false}, stop_signals{false}, may_exit{false};
    std::vector<Wait> waits; // the waiter's until `done`, then the test's
    std::thread waiter([&] {
        tid.store(::gettid());
        do {
            Wait w;
            w.start = Clock::now();
            w.outcome = one_wait(c, io);
            w.end = Clock::now();
            waits.push_back(w);
        } while (c.repeat && (handled.load() < c.signals || waits.size() < 10) &&
                 !stop_signals.load());
        done.store(true);
        while (!may_exit.load()) std::this_thread::yield(); // no signal may find it gone
    });
    const pthread_t target = waiter.native_handle();
    auto send_one = [&] {
        const int before = handled.load();
        ::pthread_kill(target, SIGUSR1);
        while (handled.load() == before && !done.load()) std::this_thread::yield();
    };

    while (!tid.load()) std::this_thread::yield();
    EXPECT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 2000ms))
        << "the first wait never blocked";
    const auto blocked_at = Clock::now();
    // Past this the signals stop: a wait that each of them starts afresh then
    // ends and fails its bound instead of hanging the suite.
    const auto give_up = blocked_at + 5s;
    bool written = false;
    Clock::time_point written_at;
    bool late_one_sent = false;
    while (!done.load()) {
        const auto now = Clock::now();
        if (c.data && !written &&
            (now > give_up || (now >= blocked_at + c.data_after && handled.load() >= c.signals))) {
            EXPECT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 2000ms))
                << "the signals ended the wait";
            written_at = Clock::now();
            zt::write_all(pipe.peer.get(), "x");
            written = true;
        } else if (now > give_up) {
            stop_signals.store(true);
            std::this_thread::yield();
        } else if (c.pace == Pace::storm) {
            ::pthread_kill(target, SIGUSR1);
            const timespec ms{0, 1000000};
            nanosleep(&ms, nullptr); // the storm's own pace
        } else if (c.pace == Pace::each_handled) {
            send_one();
        } else if (c.pace == Pace::each_blocked) {
            if (written)
                std::this_thread::yield(); // the data ends the wait; no more signals
            else if (zh::blocks_in(tid.load(), zt::ppoll_seen(), 2000ms))
                send_one();
        } else if (!late_one_sent) { // Pace::one_late, half-way: the moment under test
            std::this_thread::sleep_until(blocked_at +
                                          std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(c.limit / 2)));
            send_one();
            late_one_sent = true;
        } else {
            std::this_thread::sleep_for(1ms); // nothing to do until the wait ends
        }
    }
    may_exit.store(true);
    waiter.join();

    EXPECT_GE(handled.load(), c.signals) << "too few signals reached the waiter to tell";
    const auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(c.limit));
    std::string failures;
    for (std::size_t i = 0; i < waits.size(); ++i) {
        const Wait &w = waits[i];
        const std::string which = "wait " + std::to_string(i) + ": ";
        const auto took = w.end - w.start;
        if (w.outcome != (c.data ? "ready" : "timed out")) failures += which + w.outcome + "; ";
        if (c.data && (!written || w.end < written_at))
            failures += which + "ended before any input; ";
        else if (c.data && w.end - written_at >= c.lateness)
            failures += which + "ended " + std::to_string((w.end - written_at) / 1ms) +
                        " ms after the data; ";
        if (!c.data && took < limit)
            failures += which + "cut short at " + std::to_string(took / 1us) + " us; ";
        if (!c.data && took >= limit + c.lateness)
            failures += which + "stretched to " + std::to_string(took / 1ms) + " ms; ";
    }
    EXPECT_EQ(failures, "") << waits.size() << " waits, " << handled.load() << " signals";
}

INSTANTIATE_TEST_SUITE_P(Table, SignalsDuringWait, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
