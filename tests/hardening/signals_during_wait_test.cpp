// signals_during_wait_test.cpp: signals that interrupt a wait neither end it early nor raise.
//
// A no-op handler installed without SA_RESTART makes every signal break the
// wait's ppoll with EINTR; the wait must go on for the time that is left.
#include <in_syscall.hpp> // zh::blocks_in

#include <ppoll_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it

#include <kernel.hpp> // zt::make_pipe, Io, write_all, require_wait

#include <gtest/gtest.h> // TEST

#include <atomic>    // handled, flags shared with the waiting thread
#include <chrono>    // steady_clock
#include <csignal>   // sigaction, SIGUSR1
#include <future>    // the waiter's outcome
#include <pthread.h> // pthread_kill
#include <string>    // failures
#include <thread>    // the waiting thread
#include <unistd.h>  // gettid

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::atomic<int> handled{0}; // signals that reached the handler

void count_signal(int) { handled.fetch_add(1, std::memory_order_relaxed); }

// SIGUSR1 handled by count_signal, without SA_RESTART, for the test's length.
class SignalsWithoutRestart : public ::testing::Test {
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

    // Sends SIGUSR1 to THREAD, one at a time (each after the last was
    // handled), until DONE is set; returns how many were handled.
    static int signal_until(pthread_t thread, const std::atomic<bool> &done) {
        while (!done.load()) {
            const int before = handled.load();
            ::pthread_kill(thread, SIGUSR1);
            while (handled.load() == before && !done.load()) std::this_thread::yield();
        }
        return handled.load();
    }

private:
    struct sigaction old_ {};
};

// Bounded waits on an empty pipe: each returns nil after its full time.
TEST_F(SignalsWithoutRestart, BoundedWaitsLastTheirFullTime) {
    constexpr int kSignals = 1000;
    zt::Ends ends = zt::make_pipe();
    zt::Io io(std::move(ends.near));
    std::atomic<bool> enough{false}, stop{false};
    std::atomic<pid_t> tid{0};
    std::promise<std::string> verdict;
    std::thread waiter([&] {
        tid.store(::gettid());
        std::string failures;
        int waits = 0;
        while ((handled.load() < kSignals || waits < 10) && waits < 2000) {
            ++waits;
            const auto start = Clock::now();
            try {
                zl_value v = zelt::call(io, "wait", {zelt::flt(0.05)});
                if (v != ZL_NIL) failures += "wait(0.05) returned " + zelt::inspect(v) + "; ";
            } catch (const zelt::Error &e) {
                failures += std::string("wait(0.05) raised ") + e.what() + "; ";
            }
            const auto took = Clock::now() - start;
            if (took < 50ms)
                failures += "a wait(0.05) ended after " + std::to_string(took / 1us) + " us; ";
            if (took > 2s) failures += "a wait(0.05) took " + std::to_string(took / 1ms) + " ms; ";
        }
        enough.store(true);
        // the signaller must not outlive this thread
        while (!stop.load()) std::this_thread::yield();
        verdict.set_value(failures);
    });
    while (!tid.load()) std::this_thread::yield();
    EXPECT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 2000ms))
        << "the first wait never blocked";
    const int sent = signal_until(waiter.native_handle(), enough);
    stop.store(true);
    waiter.join();
    EXPECT_EQ(verdict.get_future().get(), "");
    EXPECT_GE(sent, kSignals);
}

// A wait without limit goes on through signals and returns the IO once a peer writes.
TEST_F(SignalsWithoutRestart, UnboundedWaitEndsOnlyWithInput) {
    constexpr int kSignals = 300;
    zt::Ends ends = zt::make_pipe();
    zt::Io io(std::move(ends.near));
    std::atomic<bool> returned{false};
    std::atomic<pid_t> tid{0};
    std::promise<std::string> outcome;
    std::thread waiter([&] {
        tid.store(::gettid());
        std::string text;
        try {
            text = zelt::inspect(zelt::call(io, "wait"));
        } catch (const zelt::Error &e) {
            text = std::string("raised ") + e.what();
        }
        returned.store(true);
        outcome.set_value(text);
    });
    while (!tid.load()) std::this_thread::yield();
    for (int i = 0; i < kSignals && !returned.load(); ++i) {
        if (!zh::blocks_in(tid.load(), zt::ppoll_seen(), 2000ms)) {
            ADD_FAILURE() << "signal " << i << ": the wait is not blocked in ppoll";
            break;
        }
        const int before = handled.load();
        ::pthread_kill(waiter.native_handle(), SIGUSR1);
        while (handled.load() == before) std::this_thread::yield();
    }
    EXPECT_FALSE(returned.load()) << "the wait ended before any input";
    zt::write_all(ends.peer.get(), "x");
    waiter.join();
    EXPECT_EQ(outcome.get_future().get(), zelt::inspect(io));
}

} // namespace
