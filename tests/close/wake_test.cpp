// wake_test.cpp: a close ends every wait on its stream at once, and input that
// another thread's read moves into the buffer ends a wait on the same stream.
#include <in_syscall.hpp> // zh::blocks_in
#include <kernel.hpp>     // make_pipe, Io, write_all, require_wait
#include <zelt/embed.hpp> // call, inspect

#include <atomic>           // the waiters' thread ids
#include <chrono>           // durations
#include <future>           // each waiter's outcome
#include <gtest/gtest.h>    // TEST
#include <latch>            // the threads start together
#include <random>           // when the input comes
#include <string>           // outcomes
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it
#include <thread>           // yield
#include <unistd.h>         // gettid
#include <vector>           // waiters

namespace close_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

std::string outcome(zl_value io, const char *method) {
    try {
        zl_value v = zelt::call(io, method);
        std::string shown = zelt::inspect(v);
        if (zelt::is_string(v)) zelt::release(v); // the receiver stays
        return shown;
    } catch (const zelt::Error &e) {
        return e.what();
    }
}

TEST(CloseWakesWaiters, SixteenWaitersEndWellUnderFiftyMilliseconds) {
    zt::require_wait();
    constexpr int kWaiters = 16;
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    std::vector<std::atomic<pid_t>> tids(kWaiters);
    std::vector<std::future<std::pair<std::string, Clock::time_point>>> waiters;
    waiters.reserve(kWaiters);
    for (int i = 0; i < kWaiters; ++i)
        waiters.push_back(std::async(std::launch::async, [&, i] {
            tids[i] = ::gettid();
            std::string got = outcome(io, i == 0 ? "gets" : "wait"); // gets take turns
            return std::pair{got, Clock::now()};
        }));
    for (auto &tid : tids) {
        while (!tid.load()) std::this_thread::yield();
        EXPECT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms));
    }
    const auto closing = Clock::now();
    zelt::call(io, "close");
    EXPECT_LT(Clock::now() - closing, 50ms) << "the close waited";
    for (auto &w : waiters) {
        if (w.wait_for(5s) == std::future_status::timeout) {
            zt::write_all(pipe.peer.get(),
                          std::string(std::size_t{kWaiters} * 2, '\n')); // free it, then fail
            ADD_FAILURE() << "a waiter slept through the close";
        }
        auto [got, ended] = w.get();
        EXPECT_EQ(got, "IOError: closed stream");
        EXPECT_LT(ended - closing, 50ms);
    }
}

// Closes of one stream leave alone a wait on another stream and a thread
// blocked in a system call of the program's own: the runtime signals only
// threads blocked on the closed stream. (A wake signal that the program sends
// itself does reach its own calls: the handler has no SA_RESTART.)
TEST(CloseWakesWaiters, OtherThreadsAreNotDisturbed) {
    zt::require_wait();
    zt::Ends other = zt::make_pipe(), own = zt::make_pipe();
    zt::Io waited(std::move(other.near));
    std::atomic<pid_t> waiter_tid{0}, reader_tid{0};
    std::atomic<bool> waiter_done{false}, reader_done{false};
    auto waiter = std::async(std::launch::async, [&] {
        waiter_tid = ::gettid();
        std::string got = outcome(waited, "wait");
        waiter_done = true;
        return got;
    });
    auto reader = std::async(std::launch::async, [&] {
        zt::Ends mine = zt::make_pipe();
        zt::Io io(std::move(mine.near));
        zelt::call(io, "nread"); // this thread has called a method on an IO
        reader_tid = ::gettid();
        char byte = 0;
        ssize_t got = ::read(own.near.get(), &byte, 1); // the program's own read(2)
        int err = errno;
        reader_done = true;
        return got == 1 ? std::string(1, byte) : "read failed, errno " + std::to_string(err);
    });
    while (!waiter_tid.load() || !reader_tid.load()) std::this_thread::yield();
    EXPECT_TRUE(zh::blocks_in(waiter_tid.load(), zt::ppoll_seen(), 5000ms));
    for (int i = 0; i < 100; ++i) {
        zt::Ends closed = zt::make_pipe();
        zt::Io io(std::move(closed.near));
        auto blocked = std::async(std::launch::async, [&] { return outcome(io, "wait"); });
        zelt::call(io, "close");
        EXPECT_EQ(blocked.get(), "IOError: closed stream");
    }
    EXPECT_FALSE(waiter_done.load()) << "a close of another stream ended the wait";
    EXPECT_FALSE(reader_done.load()) << "a close signalled the program's own read";
    zt::write_all(other.peer.get(), "x");
    zt::write_all(own.peer.get(), "y");
    EXPECT_EQ(waiter.get(), zelt::inspect(waited));
    EXPECT_EQ(reader.get(), "y");
}

// One thread's gets reads "a\nb\n" ahead while another waits on the same
// stream: the second line sits in the buffer, the kernel holds nothing, and
// the wait must end as soon as the input is in, not at its limit.
TEST(BufferFillWakesWaiters, NoWaitOutlastsTheInput) {
    zt::require_wait();
    std::mt19937 rng(12345);
    for (const bool limited : {true, false}) {
        for (int round = 0; round < 100; ++round) {
            SCOPED_TRACE((limited ? "wait(2), round " : "wait, round ") + std::to_string(round));
            zt::Ends pipe = zt::make_pipe();
            zt::Io io(std::move(pipe.near));
            std::latch start(3);
            auto reader = std::async(std::launch::async, [&] {
                start.arrive_and_wait();
                return outcome(io, "gets");
            });
            auto waiter = std::async(std::launch::async, [&] {
                start.arrive_and_wait();
                try {
                    if (limited)
                        zelt::call(io, "wait", {zelt::integer(2)});
                    else
                        zelt::call(io, "wait");
                    return Clock::now();
                } catch (const zelt::Error &) {
                    return Clock::now();
                }
            });
            start.arrive_and_wait();
            for (unsigned spin = rng() % 2000; spin > 0; --spin) std::this_thread::yield();
            const auto written = Clock::now();
            zt::write_all(pipe.peer.get(), "a\nb\n");
            EXPECT_EQ(reader.get(), "\"a\\n\"");
            if (waiter.wait_for(5s) == std::future_status::timeout) {
                zt::write_all(pipe.peer.get(), "c\n"); // free it, then fail
                ADD_FAILURE() << "the wait slept past buffered input";
            }
            EXPECT_LT(waiter.get() - written, 250ms);
        }
    }
}

} // namespace
} // namespace close_test
