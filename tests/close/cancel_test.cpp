// cancel_test.cpp: a thread cancelled inside a call leaves no mark behind: the
// next thread that takes its entry is not taken for a reader of the stream,
// and a close of that stream returns at once.
#include "fallback_read.hpp" // park_in_read

#include <kernel.hpp>     // make_fifo, make_pipe, Io, Fd, require_wait
#include <zelt/embed.hpp> // call, io_fd

#include <atomic>        // the reader's thread id
#include <chrono>        // the bound
#include <future>        // the close
#include <gtest/gtest.h> // TEST
#include <latch>         // the next thread stays while the close runs
#include <pthread.h>     // pthread_cancel
#include <thread>        // the reader, the next thread
#include <unistd.h>      // dup, gettid

namespace close_test {
namespace {

using namespace std::chrono_literals;

TEST(CancelledCall, LeavesNoMarkForTheNextThreadOfItsEntry) {
    zt::require_wait();
    zt::Ends fifo = zt::make_fifo();
    const int fd = fifo.near.get();
    zt::Fd thief(::dup(fd));
    zt::Io io(fd);
    fifo.near.release(); // the IO owns it now
    std::atomic<pid_t> tid{0};
    std::thread reader([&] {
        tid = ::gettid();
        try {
            zelt::call(io, "gets");
        } catch (const zelt::Error &) { // a cancellation is no Error: it unwinds on
        }
    });
    while (!tid.load()) std::this_thread::yield();
    ASSERT_TRUE(park_in_read(fifo, fd, thief.get(), tid.load()));
    ::pthread_cancel(reader.native_handle());
    reader.join();

    std::latch called(1), done(1);
    std::thread next([&] { // takes the entry the cancelled thread left
        zt::Ends pipe = zt::make_pipe();
        zt::Io other(std::move(pipe.near));
        zelt::call(other, "nread");
        called.count_down();
        done.wait();
    });
    called.wait();
    auto closing = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    const bool returned = closing.wait_for(2s) == std::future_status::ready;
    done.count_down();
    next.join();
    closing.get();
    EXPECT_TRUE(returned) << "the close waited on a thread in no call on its stream";
    EXPECT_EQ(zelt::io_fd(io), -1) << "no call was left on the stream";
}

} // namespace
} // namespace close_test
