// unreadable_test.cpp: streams the methods refuse before anything else: closed
// ones and those open only for writing.
#include "calls.hpp"         // Held, raised_by, raised
#include "kernel.hpp"        // zt::Io, zt::make_pipe
#include "syscall_count.hpp" // zt::syscalls::Counter

#include <gtest/gtest.h>

#include <limits> // NaN
#include <string> // gets' result
#include <vector> // argument lists

namespace wait_suite {
namespace {

using zelt::call;
using zelt::integer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct MethodCall {
    const char *text;
    const char *name;
    std::vector<zl_value> arguments;
};

// Each method, wait with argument lists it would refuse too, raises IOError
// naming TEXT and makes no kernel query or wait.
void expect_every_call_refused(zl_value io, const char *text) {
    Held x(zelt::str("x")), nan(zelt::flt(kNaN)), huge(zelt::flt(1e300));
    const MethodCall calls[] = {
        {"nread", "nread", {}},
        {"ready?", "ready?", {}},
        {"wait", "wait", {}},
        {"wait(nil)", "wait", {ZL_NIL}},
        {"wait(0)", "wait", {integer(0)}},
        {"wait(1, 2)", "wait", {integer(1), integer(2)}},
        {"wait(-1)", "wait", {integer(-1)}},
        {"wait(\"x\")", "wait", {x}},
        {"wait(false)", "wait", {ZL_FALSE}},
        {"wait(NaN)", "wait", {nan}},
        {"wait(1e300)", "wait", {huge}},
    };
    for (const MethodCall &c : calls) {
        zt::syscalls::Counter syscalls;
        auto error = raised_by([&] {
            return zelt::call(io, zelt::intern(c.name), static_cast<int>(c.arguments.size()),
                              c.arguments.data());
        });
        EXPECT_TRUE(raised(error, "IOError", text)) << c.text;
        EXPECT_EQ(syscalls.ioctls(), 0u) << c.text;
        EXPECT_EQ(syscalls.ppolls(), 0u) << c.text;
    }
}

TEST(WriteOnlyStream, EveryCallRaisesNotOpenedForReading) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "bytes the kernel would count");
    pipe.near
        .reset(); // the writer then polls as ready: a wait let through by mistake would not block
    zt::Io writer(std::move(pipe.peer));
    expect_every_call_refused(writer, "not opened for reading");
}

TEST(ClosedStream, EveryCallRaisesClosedStream) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "bytes still in the kernel");
    zt::Io io(std::move(pipe.near));
    call(io, "close");
    expect_every_call_refused(io, "closed stream");
}

TEST(ClosedStream, ClosedWinsOverBufferedInput) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "first\nsecond\n");
    zt::Io io(std::move(pipe.near));
    Held line(call(io, "gets"));
    ASSERT_EQ(zelt::string_value(line), "first\n");
    ASSERT_EQ(call(io, "ready?"), ZL_TRUE) << "the runtime holds the second line";
    call(io, "close");
    expect_every_call_refused(io, "closed stream");
}

TEST(ClosedStream, ClosedWinsOverWriteOnly) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io writer(std::move(pipe.peer));
    call(writer, "close");
    expect_every_call_refused(writer, "closed stream");
}

} // namespace
} // namespace wait_suite
