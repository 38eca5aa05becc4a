// arguments_test.cpp: the time limits and argument counts wait refuses, on an
// open stream with and without buffered input. The count is checked before the
// limit is converted, and the limit before the buffer is looked at, so each
// refusal is the same either way and comes before any wait or kernel query.
#include "calls.hpp"         // Held, raised_by, raised
#include "kernel.hpp"        // zt::Io, zt::make_pipe
#include "syscall_count.hpp" // zt::syscalls::Counter

#include <gtest/gtest.h>

#include <cmath>      // NAN, INFINITY
#include <functional> // the argument lists
#include <string>     // gets' result
#include <vector>     // argument lists

namespace wait_suite {
namespace {

using zelt::integer;

struct Refusal {
    const char *call;
    std::function<std::vector<zl_value>()> arguments; // made per call, released by the test
    const char *error;
    const char *text; // part of the message
};

const std::vector<Refusal> &refusals() {
    static const std::vector<Refusal> table = {
        {"wait(1, 2)", [] { return std::vector{integer(1), integer(2)}; }, "ArgumentError", "given 2"},
        {"wait(\"x\", 2)", [] { return std::vector{zelt::str("x"), integer(2)}; }, "ArgumentError", "given 2"},
        {"wait(-1, 2)", [] { return std::vector{integer(-1), integer(2)}; }, "ArgumentError", "given 2"},
        {"wait(nil, nil)", [] { return std::vector{ZL_NIL, ZL_NIL}; }, "ArgumentError", "given 2"},
        {"wait(-1)", [] { return std::vector{integer(-1)}; }, "ArgumentError", ""},
        {"wait(-0.5)", [] { return std::vector{zelt::flt(-0.5)}; }, "ArgumentError", ""},
        {"wait(NaN)", [] { return std::vector{zelt::flt(NAN)}; }, "ArgumentError", ""},
        {"wait(-Infinity)", [] { return std::vector{zelt::flt(-INFINITY)}; }, "ArgumentError", ""},
        {"wait(\"x\")", [] { return std::vector{zelt::str("x")}; }, "TypeError", ""},
        {"wait(false)", [] { return std::vector{ZL_FALSE}; }, "TypeError", ""},
        {"wait(true)", [] { return std::vector{ZL_TRUE}; }, "TypeError", ""},
        {"wait(1e300)", [] { return std::vector{zelt::flt(1e300)}; }, "RangeError", ""},
        {"wait(Infinity)", [] { return std::vector{zelt::flt(INFINITY)}; }, "RangeError", ""},
    };
    return table;
}

void expect_refusals(zl_value io) {
    for (const Refusal &r : refusals()) {
        std::vector<zl_value> args = r.arguments();
        zt::syscalls::Counter syscalls;
        auto error = raised_by([&] {
            return zelt::call(io, zelt::intern("wait"), static_cast<int>(args.size()), args.data());
        });
        EXPECT_TRUE(raised(error, r.error, r.text)) << r.call;
        EXPECT_EQ(syscalls.ioctls(), 0u) << r.call;
        EXPECT_EQ(syscalls.ppolls(), 0u) << r.call;
        for (zl_value v : args) zelt::release(v);
    }
}

TEST(WaitArguments, RefusedWithAnEmptyBuffer) {
    zt::Ends pipe = zt::make_pipe();
    pipe.peer.reset(); // at end of stream: a limit taken by mistake ends at once, not never
    zt::Io io(std::move(pipe.near));
    expect_refusals(io);
    EXPECT_EQ(zelt::call(io, "wait", {integer(0)}), ZL_NIL) << "the stream stays usable";
}

TEST(WaitArguments, RefusedEvenWithBufferedInput) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "first\nsecond\n");
    zt::Io io(std::move(pipe.near));
    Held line(zelt::call(io, "gets"));
    ASSERT_EQ(zelt::string_value(line), "first\n");
    expect_refusals(io);
    EXPECT_EQ(zelt::call(io, "wait"), ZL_TRUE) << "the buffered line is still there";
}

} // namespace
} // namespace wait_suite
