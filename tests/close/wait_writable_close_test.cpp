// write_close_test.cpp: a wait for writable, and a wait_for, held at their
// ppoll on a full pipe while another thread closes the stream: each ends at
// once with the closed-stream error, with a limit or none, and the
// descriptor is given back once the wait has left.
#include "syscall_hold.hpp" // Hold, Call

#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <zelt/embed.hpp> // call, require, io_fd, io_closed, Error

#include <cerrno>        // EAGAIN
#include <chrono>        // how long it took
#include <fcntl.h>       // fcntl, O_NONBLOCK
#include <future>        // the held wait
#include <gtest/gtest.h> // TEST_P
#include <optional>      // a row's limit
#include <string>        // the error's class and message
#include <unistd.h>      // write

namespace close_test {
namespace {

using Clock = std::chrono::steady_clock;

// Writes without waiting until the pipe takes no more.
void fill(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    const char chunk[4096] = {};
    while (::write(fd, chunk, sizeof chunk) > 0 || errno == EINTR) {
    }
    ::fcntl(fd, F_SETFL, flags);
}

struct WriteWaitCase {
    const char *name;
    const char *method;          // wait_writable or wait_for
    std::optional<double> limit; // none: only the close's signals end it
};

void PrintTo(const WriteWaitCase &c, std::ostream *os) { *os << c.name; }

class CloseUnderWriteWait : public ::testing::TestWithParam<WriteWaitCase> {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        zelt::require("wait_write");
    }
};

TEST_P(CloseUnderWriteWait, EndsTheWaitWithTheClosedStreamError) {
    const WriteWaitCase &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    fill(pipe.peer.get());
    const int fd = pipe.peer.get();
    zt::Io out(std::move(pipe.peer));
    zelt::call(out.value(), "sync=", {ZL_TRUE}); // the kernel answers, not the buffer's room
    zt::Held word(zelt::str("writable"));
    zt::Held limit(c.limit ? zelt::flt(*c.limit) : ZL_NIL);

    Hold hold(Call::Ppoll, fd);
    const auto start = Clock::now();
    auto waiter = std::async(std::launch::async, [&]() -> std::string {
        try {
            const bool for_events = std::string(c.method) == "wait_for";
            if (for_events)
                c.limit ? zelt::call(out, "wait_for", {word, limit})
                        : zelt::call(out, "wait_for", {word});
            else
                c.limit ? zelt::call(out, "wait_writable", {limit})
                        : zelt::call(out, "wait_writable");
        } catch (const zelt::Error &e) {
            return e.class_name() + ": " + e.message();
        }
        return "returned";
    });
    hold.await_reached(); // at its ppoll, past every check
    auto closer = std::async(std::launch::async, [&] { zelt::call(out, "close"); });
    hold.release();
    closer.get();
    EXPECT_EQ(waiter.get(), "IOError: closed stream");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20)) << "the close did not end the wait";
    EXPECT_TRUE(zelt::io_closed(out));
    EXPECT_EQ(zelt::io_fd(out), -1) << "the descriptor outlived the wait";
}

const WriteWaitCase kCases[] = {
    {"wait_writable_no_limit", "wait_writable", std::nullopt},
    {"wait_writable_limit", "wait_writable", 30.0},
    {"wait_for_no_limit", "wait_for", std::nullopt},
    {"wait_for_limit", "wait_for", 30.0},
};

INSTANTIATE_TEST_SUITE_P(Waits, CloseUnderWriteWait, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
