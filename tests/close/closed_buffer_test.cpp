// closed_buffer_test.cpp: a closed stream gives its read buffer back once the
// last call on it has left, released by the program or not.
#include "syscall_hold.hpp" // Hold: a reader stopped at its ppoll

#include <kernel.hpp>     // make_pipe, Io, Held, write_all
#include <test_hooks.hpp> // read_buffer_capacity, close_scanned
#include <zelt/embed.hpp> // call, io_new, io_fd, release, Error

#include <future>        // the reader inside its call, and the close
#include <gtest/gtest.h> // TEST
#include <malloc.h>      // mallinfo2: what the heap holds
#include <thread>        // yield: until the close has scanned
#include <vector>        // streams kept unreleased

namespace close_test {
namespace {

constexpr int kStreams = 2000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kHeapIsMalloc = false; // a sanitizer's heap: mallinfo2 does not see it
#else
constexpr bool kHeapIsMalloc = true;
#endif

// Read from, closed, never released: each keeps its record, not its buffer.
TEST(ClosedBuffer, ManyClosesWithoutReleaseKeepNoBuffer) {
    std::vector<zl_value> kept;
    kept.reserve(kStreams);
    const std::size_t before = mallinfo2().uordblks;
    for (int i = 0; i < kStreams; ++i) {
        zt::Ends pipe = zt::make_pipe();
        zt::write_all(pipe.peer.get(), "a line\n");
        zl_value io = zelt::io_new(pipe.near.release());
        zelt::release(zelt::call(io, "gets"));
        zelt::call(io, "close");
        ASSERT_EQ(zelt::test_hooks::read_buffer_capacity(io), 0u) << "stream " << i;
        kept.push_back(io);
    }
    const std::size_t after = mallinfo2().uordblks;
    if (kHeapIsMalloc) { // 1 KB a stream: its record and object, far below a buffer's 8 KB
        EXPECT_LT(after, before + std::size_t{kStreams} * 1024)
            << "bytes held per closed stream: " << (after - before) / kStreams;
    }
    for (zl_value io : kept) zelt::release(io);
}

// A reader still inside its gets when the stream closes: the buffer stays
// until it has left, then goes.
TEST(ClosedBuffer, GoesOnlyOnceTheReaderHasLeft) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    zt::write_all(pipe.peer.get(), "partial"); // buffered, no newline: the reader waits for more
    Hold hold(Call::Ppoll, zelt::io_fd(io));
    auto reader = std::async(std::launch::async, [&] {
        try {
            zelt::call(io, "gets");
            return std::string("returned");
        } catch (const zelt::Error &e) {
            return e.message();
        }
    });
    hold.await_reached();
    // The close returns once the reader is out of its ppoll: it runs apart.
    auto closer = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    while (!zelt::test_hooks::close_scanned(io)) std::this_thread::yield();
    EXPECT_GT(zelt::test_hooks::read_buffer_capacity(io), 0u) << "dropped under the reader";
    hold.release();
    closer.get();
    EXPECT_EQ(reader.get(), "closed stream");
    EXPECT_EQ(zelt::test_hooks::read_buffer_capacity(io), 0u) << "kept after the last call left";
    EXPECT_EQ(zelt::io_fd(io), -1);
}

} // namespace
} // namespace close_test
