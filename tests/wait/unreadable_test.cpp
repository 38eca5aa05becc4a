// unreadable_test.cpp: streams the methods refuse before anything else: closed
// ones and those open only for writing.
#include "calls.hpp"         // Held, raised_by, raised
#include "kernel.hpp"        // zt::Io, zt::make_pipe
#include "syscall_count.hpp" // zt::syscalls::Counter

#include <gtest/gtest.h>

#include <cmath>      // NAN
#include <functional> // the calls
#include <string>     // gets' result
#include <vector>     // the table of calls

namespace wait_suite {
namespace {

using zelt::call;
using zelt::integer;

struct MethodCall {
    const char *text;
    std::function<zl_value(zl_value io)> make;
};

// Every method, including wait with argument lists that it would refuse.
const std::vector<MethodCall> &every_call() {
    static const std::vector<MethodCall> calls = {
        {"nread", [](zl_value io) { return call(io, "nread"); }},
        {"ready?", [](zl_value io) { return call(io, "ready?"); }},
        {"wait", [](zl_value io) { return call(io, "wait"); }},
        {"wait(nil)", [](zl_value io) { return call(io, "wait", {ZL_NIL}); }},
        {"wait(0)", [](zl_value io) { return call(io, "wait", {integer(0)}); }},
        {"wait(1, 2)", [](zl_value io) { return call(io, "wait", {integer(1), integer(2)}); }},
        {"wait(-1)", [](zl_value io) { return call(io, "wait", {integer(-1)}); }},
        {"wait(\"x\")",
         [](zl_value io) {
             Held x(zelt::str("x"));
             return call(io, "wait", {x});
         }},
        {"wait(false)", [](zl_value io) { return call(io, "wait", {ZL_FALSE}); }},
        {"wait(NaN)",
         [](zl_value io) {
             Held nan(zelt::flt(NAN));
             return call(io, "wait", {nan});
         }},
        {"wait(1e300)",
         [](zl_value io) {
             Held big(zelt::flt(1e300));
             return call(io, "wait", {big});
         }},
    };
    return calls;
}

// Each call raises IOError naming TEXT and makes no kernel query or wait.
void expect_every_call_refused(zl_value io, const char *text) {
    for (const MethodCall &c : every_call()) {
        zt::syscalls::Counter syscalls;
        EXPECT_TRUE(raised(raised_by([&] { return c.make(io); }), "IOError", text)) << c.text;
        EXPECT_EQ(syscalls.ioctls(), 0u) << c.text;
        EXPECT_EQ(syscalls.ppolls(), 0u) << c.text;
    }
}

TEST(WriteOnlyStream, EveryCallRaisesNotOpenedForReading) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "bytes the kernel would count");
    pipe.near.reset(); // the writer then polls as ready: a wait let through by mistake would not block
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
