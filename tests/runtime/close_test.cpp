// close_test.cpp: closing an IO gives its descriptor back exactly once, whatever the stream.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // the kernel objects, Fd
#include "raised.hpp"     // raised_by

#include <zelt/embed.hpp> // io_new, io_fd, call, release

#include <cerrno>        // errno, EBADF
#include <fcntl.h>       // fcntl, open
#include <gtest/gtest.h> // TEST_P
#include <unistd.h>      // dup2, close

namespace rt_test {
namespace {

zt::Fd dev_null() { return zt::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }
zt::Fd write_only_pipe_end() { return std::move(zt::make_pipe().peer); }

struct StreamKind {
    const char *name;
    zt::Fd (*open)();
};

void PrintTo(const StreamKind &c, std::ostream *os) { *os << c.name; }

const StreamKind kKinds[] = {
    {"pipe", [] { return std::move(zt::make_pipe().near); }},
    {"socketpair", [] { return std::move(zt::make_socketpair().near); }},
    {"tcp", [] { return std::move(zt::make_tcp().near); }},
    {"pty", [] { return std::move(zt::make_pty().near); }},
    {"fifo", [] { return std::move(zt::make_fifo().near); }},
    {"regular_file", [] { return zt::regular_file("contents"); }},
    {"dev_null", dev_null},
    {"write_only_pipe_end", write_only_pipe_end},
};

bool is_open(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

bool is_closed_number(int fd) {
    errno = 0;
    return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

class Close : public ::testing::TestWithParam<StreamKind> {};

// After close the number is free; the test then puts another file on that
// very number, and neither a second close nor the release may touch it.
TEST_P(Close, ReleasesTheDescriptorExactlyOnce) {
    zt::Fd fd = GetParam().open();
    const int number = fd.get();
    zl_value io = zelt::io_new(fd.release());
    EXPECT_EQ(zelt::io_fd(io), number);

    EXPECT_EQ(zelt::call(io, "close"), ZL_NIL);
    EXPECT_EQ(zelt::call(io, "closed?"), ZL_TRUE);
    EXPECT_EQ(zelt::io_fd(io), -1);
    EXPECT_TRUE(is_closed_number(number));

    zt::Fd stand_in = dev_null();
    ASSERT_EQ(::dup2(stand_in.get(), number), number);
    zt::Fd on_the_number(number);
    EXPECT_EQ(zelt::call(io, "close"), ZL_NIL); // harmless
    zelt::release(io);
    EXPECT_TRUE(is_open(number)) << "a second close closed another file's descriptor";
}

TEST_P(Close, ReleaseAloneClosesTheDescriptor) {
    zt::Fd fd = GetParam().open();
    const int number = fd.get();
    zelt::release(zelt::io_new(fd.release()));
    EXPECT_TRUE(is_closed_number(number));
}

INSTANTIATE_TEST_SUITE_P(Runtime, Close, ::testing::ValuesIn(kKinds), ByName());

// ---- what a closed stream answers -------------------------------------------------

struct ClosedCall {
    const char *method;
    int argc;
};

void PrintTo(const ClosedCall &c, std::ostream *os) {
    *os << c.method << " with " << c.argc << " arguments";
}

class ClosedStream : public ::testing::TestWithParam<ClosedCall> {};

TEST_P(ClosedStream, RaisesIOError) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "line\n"); // data waiting changes nothing
    zt::Io io(std::move(pipe.near));
    zelt::call(io, "close");
    const zl_value args[] = {zelt::integer(1)};
    Raised r =
        raised_by([&] { zelt::call(io, zelt::intern(GetParam().method), GetParam().argc, args); });
    EXPECT_EQ(r.class_name, "IOError");
    EXPECT_EQ(r.message, "closed stream");
}

INSTANTIATE_TEST_SUITE_P(Runtime, ClosedStream,
                         ::testing::Values(ClosedCall{"gets", 0}, ClosedCall{"read", 0},
                                           ClosedCall{"read", 1}, ClosedCall{"fileno", 0},
                                           ClosedCall{"eof?", 0}),
                         [](const auto &info) {
                             std::string name = info.param.method;
                             if (name.back() == '?') name.back() = 'p'; // eof? as eofp
                             return name + "_" + std::to_string(info.param.argc);
                         });

// ---- streams the runtime cannot read or wrap -------------------------------------

const StreamKind kUnreadable[] = {
    {"write_only_pipe_end", write_only_pipe_end},
    {"write_only_dev_null", [] { return zt::Fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)); }},
    {"path_only_dev_null", [] { return zt::Fd(::open("/dev/null", O_PATH | O_CLOEXEC)); }},
};

class Unreadable : public ::testing::TestWithParam<StreamKind> {};

TEST_P(Unreadable, RefusesReadsButCloses) {
    zt::Fd fd = GetParam().open();
    const int number = fd.get();
    zt::Io io(std::move(fd));
    for (const char *method : {"gets", "read", "eof?"}) {
        Raised r = raised_by([&] { zelt::call(io, method); });
        EXPECT_EQ(r.class_name, "IOError") << method;
        EXPECT_EQ(r.message, "not opened for reading") << method;
    }
    EXPECT_EQ(zelt::call(io, "close"), ZL_NIL);
    EXPECT_TRUE(is_closed_number(number));
}

INSTANTIATE_TEST_SUITE_P(Runtime, Unreadable, ::testing::ValuesIn(kUnreadable), ByName());

TEST(StreamRefusals, InvalidDescriptorIsRefusedAndLeftAlone) {
    const int number = [] { return zt::make_pipe().near.get(); }(); // closed again at once
    Raised r = raised_by([&] { zelt::io_new(number); });
    EXPECT_EQ(r.class_name, "SystemCallError");
    EXPECT_EQ(r.err, EBADF);
    EXPECT_EQ(raised_by([] { zelt::io_new(-1); }).err, EBADF);
}

} // namespace
} // namespace rt_test
