// read_ahead_test.cpp: input the runtime has read ahead answers before the
// kernel: nread counts the buffer alone, ready? and wait say true at once,
// and none of them asks the kernel or waits.
#include "calls.hpp"         // Held, read_bytes
#include "kernel.hpp"        // zt::Io, zt::make_pipe, zt::regular_file
#include "syscall_count.hpp" // zt::syscalls::Counter

#include <gtest/gtest.h>

#include <optional>    // the IO, made in SetUp
#include <ostream>     // PrintTo
#include <string>      // contents
#include <sys/ioctl.h> // ioctl, FIONREAD: what the kernel still holds
#include <tuple>       // the parameters
#include <unistd.h>    // lseek

namespace wait_suite {
namespace {

using zelt::call;
using zelt::integer;

int kernel_count(int fd) {
    int held = -1;
    EXPECT_EQ(::ioctl(fd, FIONREAD, &held), 0);
    return held;
}

enum class Source { Pipe, RegularFile };

// The runtime's own reads both read ahead: gets a line, read(n) n bytes.
enum class Reader { Gets, Read };

const char *name_of(Source s) { return s == Source::Pipe ? "pipe" : "regular_file"; }
const char *name_of(Reader r) { return r == Reader::Gets ? "gets" : "read"; }
void PrintTo(Source s, std::ostream *os) { *os << name_of(s); }
void PrintTo(Reader r, std::ostream *os) { *os << name_of(r); }

// A stream from which a read of its first line has left `buffered` bytes in
// the runtime while `in_kernel` more wait in the kernel.
class ReadAhead : public testing::TestWithParam<std::tuple<Source, Reader>> {
protected:
    void SetUp() override {
        const std::string head = "first\n";
        if (std::get<Source>(GetParam()) == Source::Pipe) {
            // The runtime takes all there is; more comes after.
            zt::Ends pipe = zt::make_pipe();
            zt::write_all(pipe.peer.get(), head + "second\n");
            writer_ = std::move(pipe.peer);
            io_.emplace(std::move(pipe.near));
            expect_first_line(head);
            buffered_ = 7 - kernel_count(fd());
            zt::write_all(writer_.get(), "more");
        } else {
            // A file longer than what one read-ahead takes.
            io_.emplace(zt::regular_file(head + std::string(100000, 'x')));
            expect_first_line(head);
            buffered_ = static_cast<int>(::lseek(fd(), 0, SEEK_CUR) - head.size());
        }
        in_kernel_ = kernel_count(fd());
        ASSERT_GT(buffered_, 0) << "the first read took nothing ahead";
        ASSERT_GT(in_kernel_, 0) << "nothing is left in the kernel";
    }

    zl_value io() const { return io_->value(); }
    int fd() const { return zelt::io_fd(io()); }

    int buffered_ = 0, in_kernel_ = 0;

private:
    void expect_first_line(const std::string &line) {
        if (std::get<Reader>(GetParam()) == Reader::Gets) {
            Held got(call(io(), "gets"));
            ASSERT_EQ(zelt::string_value(got), line);
        } else {
            ASSERT_EQ(read_bytes(io(), static_cast<int64_t>(line.size())), line);
        }
    }

    zt::Fd writer_;
    std::optional<zt::Io> io_;
};

TEST_P(ReadAhead, BufferAnswersWithoutAskingTheKernel) {
    Held limit(zelt::flt(2.5));
    zt::syscalls::Counter syscalls;
    EXPECT_EQ(call(io(), "nread"), integer(buffered_))
        << "the buffer alone, the kernel's bytes not added";
    EXPECT_EQ(call(io(), "ready?"), ZL_TRUE);
    EXPECT_EQ(call(io(), "wait"), ZL_TRUE) << "true, not the receiver";
    EXPECT_EQ(call(io(), "wait", {ZL_NIL}), ZL_TRUE);
    EXPECT_EQ(call(io(), "wait", {integer(0)}), ZL_TRUE);
    EXPECT_EQ(call(io(), "wait", {limit}), ZL_TRUE);
    EXPECT_EQ(syscalls.ioctls(), 0u);
    EXPECT_EQ(syscalls.ppolls(), 0u);
    EXPECT_EQ(kernel_count(fd()), in_kernel_) << "nothing was read";
}

TEST_P(ReadAhead, KernelAnswersOnceTheBufferIsDrained) {
    ASSERT_EQ(read_bytes(io(), buffered_).size(), static_cast<std::size_t>(buffered_));
    struct Query {
        const char *text;
        zl_value (*make)(zl_value io);
    };
    const Query queries[] = {
        {"nread", [](zl_value io) { return call(io, "nread"); }},
        {"ready?", [](zl_value io) { return call(io, "ready?"); }},
        {"wait(0)", [](zl_value io) { return call(io, "wait", {integer(0)}); }},
        {"wait", [](zl_value io) { return call(io, "wait"); }},
    };
    const zl_value expected[] = {integer(in_kernel_), ZL_TRUE, io(), io()};
    for (std::size_t i = 0; i < std::size(queries); ++i) {
        zt::syscalls::Counter syscalls;
        EXPECT_EQ(queries[i].make(io()), expected[i]) << queries[i].text;
        EXPECT_EQ(syscalls.ioctls(), 1u) << queries[i].text << ": one kernel count per call";
    }
}

INSTANTIATE_TEST_SUITE_P(Sources, ReadAhead,
                         testing::Combine(testing::Values(Source::Pipe, Source::RegularFile),
                                          testing::Values(Reader::Gets, Reader::Read)),
                         [](const auto &info) {
                             return std::string(name_of(std::get<Source>(info.param))) + "_" +
                                    name_of(std::get<Reader>(info.param));
                         });

} // namespace
} // namespace wait_suite
