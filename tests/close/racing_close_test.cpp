// racing_close_test.cpp: a call held at its system call while another thread
// closes its stream and a new pipe takes the lowest free number. The call
// finishes on its own stream or raises "closed stream"; it never answers for
// the new pipe, and the number is given back once it leaves.
#include "syscall_hold.hpp" // Hold, Call

#include <kernel.hpp>     // make_pipe, Io, Fd, require_wait
#include <zelt.h>         // zl_define_method, zl_io_record
#include <zelt/embed.hpp> // call, inspect, io_fd

#include <fcntl.h>        // fcntl
#include <future>         // the held call
#include <gtest/gtest.h>  // TEST_P
#include <string>         // outcomes, inspected
#include <sys/stat.h>     // fstat: which pipe a number names
#include <test_hooks.hpp> // close_scanned
#include <thread>         // yield
#include <unistd.h>       // pipe

namespace close_test {
namespace {

struct RaceCase {
    const char *name;
    const char *method;
    int arg;          // -1: no argument
    Call held_at;     // where the call stops
    const char *data; // already in the stream, for the calls that read it
    const char *own;  // what the call may answer on its own stream
};

void PrintTo(const RaceCase &c, std::ostream *os) { *os << c.name; }

const RaceCase kRaces[] = {
    {"nread", "nread", -1, Call::Ioctl, "", "0"},
    {"ready", "ready?", -1, Call::Ioctl, "", "false"},
    {"wait_zero", "wait", 0, Call::Ppoll, "", ""}, // raises: closed after the wait
    {"wait_forever", "wait", -1, Call::Ppoll, "", ""},
    {"gets_waiting", "gets", -1, Call::Ppoll, "", ""},
    {"gets_reading", "gets", -1, Call::Preadv2, "mine\n", "\"mine\\n\""},
    {"read_reading", "read", 4, Call::Preadv2, "mine", "\"mine\""},
    {"eof_waiting", "eof?", -1, Call::Ppoll, "", ""},
    {"eof_counting", "eof?", -1, Call::Ioctl, "mine", "false"},
};

ino_t inode_of(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

class RacingClose : public ::testing::TestWithParam<RaceCase> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(RacingClose, NeverAnswersForTheStreamThatTookTheNumber) {
    const RaceCase &c = GetParam();
    zt::Ends mine = zt::make_pipe();
    const int fd = mine.near.get();
    const ino_t my_pipe = inode_of(fd);
    zt::write_all(mine.peer.get(), c.data);
    zt::Io io(std::move(mine.near));

    Hold hold(c.held_at, fd);
    auto outcome = std::async(std::launch::async, [&] {
        try {
            zl_value result = c.arg < 0 ? zelt::call(io, c.method)
                                        : zelt::call(io, c.method, {zelt::integer(c.arg)});
            std::string shown = zelt::inspect(result);
            if (zelt::is_string(result)) zelt::release(result); // the receiver stays
            return shown;
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    hold.await_reached();
    // The close goes on sending to a call held on its way into a blocking
    // system call until it is out, so it runs on a thread of its own.
    auto closer = std::async(std::launch::async, [&] { zelt::call(io, "close"); });
    while (!zelt::test_hooks::close_scanned(io)) std::this_thread::yield();
    zt::Ends other = zt::make_pipe(); // the lowest free number, if the close gave it away
    zt::write_all(other.peer.get(), "theirs");
    EXPECT_NE(other.near.get(), fd) << "the number was released under a call";
    EXPECT_EQ(inode_of(fd), my_pipe) << "the number names another file while the call runs";
    hold.release();
    closer.get();

    const std::string got = outcome.get();
    if (*c.own)
        EXPECT_TRUE(got == c.own || got == "IOError: closed stream") << got;
    else
        EXPECT_EQ(got, "IOError: closed stream");
    EXPECT_EQ(zelt::io_fd(io), -1) << "the descriptor outlived the last call";
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

INSTANTIATE_TEST_SUITE_P(Calls, RacingClose, ::testing::ValuesIn(kRaces),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- a close inside a call, and calls nested on one thread -------------------------------

int fd_of(zl_value io) { return zl_io_record(io)->fd; }

// close_self: closes the receiver from inside a call on it, then reports
// whether its descriptor still stands (it must, until the call leaves).
zl_value close_self(zl_value self) {
    zelt::call(self, "close");
    return zl_bool(::fcntl(fd_of(self), F_GETFD) != -1);
}

// nread_of(other): the other stream's nread, made inside a call on this one;
// then this stream's own FIONREAD count, made on its descriptor.
zl_value nread_of(zl_value self, zl_value other) {
    zl_value inner = zelt::call(other, "nread");
    return zelt::integer(zelt::integer_value(inner) * 1000 +
                         zelt::integer_value(zelt::call(self, "nread")));
}

void define_test_methods() {
    static const bool defined = [] {
        zt::require_wait();
        zl_define_method(zl_cIO, "zt_close_self", ZL_FUNC(close_self), 0);
        zl_define_method(zl_cIO, "zt_nread_of", ZL_FUNC(nread_of), 1);
        return true;
    }();
    (void)defined;
}

TEST(CloseInsideACall, KeepsTheDescriptorUntilTheCallLeavesWithoutWaitingOnItself) {
    define_test_methods();
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    EXPECT_EQ(zelt::call(io, "zt_close_self"), ZL_TRUE);
    EXPECT_EQ(zelt::io_fd(io), -1);
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST(NestedCalls, EveryStreamInTheChainKeepsItsDescriptor) {
    define_test_methods();
    zt::Ends outer = zt::make_pipe(), inner = zt::make_pipe();
    const int outer_fd = outer.near.get(), inner_fd = inner.near.get();
    const ino_t outer_pipe = inode_of(outer_fd);
    zt::write_all(outer.peer.get(), "12");
    zt::write_all(inner.peer.get(), "3");
    zt::Io a(std::move(outer.near)), b(std::move(inner.near));

    Hold hold(Call::Ioctl, inner_fd); // inside the inner call, the outer one still running
    auto outcome = std::async(std::launch::async, [&] {
        try {
            return zelt::inspect(zelt::call(a, "zt_nread_of", {b.value()}));
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    hold.await_reached();
    zelt::call(a, "close");
    zelt::call(b, "close");
    zt::Ends taker1 = zt::make_pipe(), taker2 = zt::make_pipe();
    EXPECT_NE(taker1.near.get(), outer_fd);
    EXPECT_NE(taker2.near.get(), outer_fd);
    EXPECT_EQ(inode_of(outer_fd), outer_pipe);
    hold.release();
    // The inner nread answers its own count; the outer call's own nread then
    // meets its closed stream.
    EXPECT_EQ(outcome.get(), "IOError: closed stream");
    EXPECT_EQ(zelt::io_fd(a), -1);
    EXPECT_EQ(zelt::io_fd(b), -1);
}

} // namespace
} // namespace close_test
