// read_ahead_close_test.cpp: a close racing a read of a regular file on another
// thread. The read-ahead goes back as the last call on the closed stream
// leaves, so the file's offset ends exactly after the bytes the read returned.
#include "syscall_hold.hpp" // Hold, Call

#include <kernel.hpp>     // regular_file, Io, Fd
#include <zelt/embed.hpp> // call, inspect, integer, io_fd, io_closed

#include <chrono>         // how long a close may take to mark the stream
#include <future>         // the held read, the close
#include <gtest/gtest.h>  // TEST_P
#include <string>         // the file's bytes, outcomes
#include <test_hooks.hpp> // close_scanned
#include <thread>         // yield
#include <unistd.h>       // dup, lseek

namespace close_test {
namespace {

using namespace std::chrono_literals;

struct ReadCloseCase {
    const char *name;
    Call held_at;       // where read(1) stops while the stream is closed
    const char *result; // what it then answers, or the class it raises
    off_t offset;       // where the open file's offset ends
};

void PrintTo(const ReadCloseCase &c, std::ostream *os) { *os << c.name; }

class ReadAheadClose : public ::testing::TestWithParam<ReadCloseCase> {};

const ReadCloseCase kReadCloses[] = {
    {"past_its_closed_check", Call::Read, R"("a")", 1}, // reads a chunk ahead, returns a byte
    {"in_its_wait", Call::Ppoll, "IOError", 0},         // closed before it reads
};

TEST_P(ReadAheadClose, LeavesTheOffsetAfterTheBytesReturned) {
    const ReadCloseCase &c = GetParam();
    std::string bytes;
    while (bytes.size() < 20000) bytes += "abcdefghijklmnopqrstuvwxyz\n";
    zt::Fd spare = zt::regular_file(bytes);
    zt::Io io(::dup(spare.get()));
    Hold hold(c.held_at, zelt::io_fd(io));
    auto reader = std::async(std::launch::async, [&] {
        try {
            const zl_value v = zelt::call(io, "read", {zelt::integer(1)});
            std::string shown = zelt::inspect(v);
            zelt::release(v);
            return shown;
        } catch (const zelt::Error &e) {
            return e.class_name();
        }
    });
    hold.await_reached();
    auto closing = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    // Marked closed with the read still held (a close that waits in its wait
    // sends its wake until the read has left it, so it returns only then).
    const auto give_up = std::chrono::steady_clock::now() + 10s;
    while (!zelt::test_hooks::close_scanned(io) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::yield();
    EXPECT_TRUE(zelt::test_hooks::close_scanned(io)) << "the close waited for the read";
    hold.release();
    closing.get();
    EXPECT_EQ(reader.get(), c.result);
    EXPECT_TRUE(zelt::io_closed(io));
    EXPECT_EQ(::lseek(spare.get(), 0, SEEK_CUR), c.offset);
}

INSTANTIATE_TEST_SUITE_P(Calls, ReadAheadClose, ::testing::ValuesIn(kReadCloses),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
