// arguments_test.cpp: the time limits and argument counts wait refuses, on an
// open stream with and without buffered input. The count is checked before the
// limit is converted, and the limit before the buffer is looked at, so each
// refusal is the same either way and comes before any wait or kernel query.
#include "calls.hpp"         // Held, raised_by, raised
#include "kernel.hpp"        // zt::Io, zt::make_pipe
#include "syscall_count.hpp" // zt::syscalls::Counter

#include <gtest/gtest.h>

#include <limits> // NaN, infinity
#include <string> // gets' result
#include <vector> // argument lists

namespace wait_suite {
namespace {

using zelt::integer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Refusal {
    const char *call;
    std::vector<zl_value> arguments;
    const char *error;
    const char *text; // part of the message
};

void expect_refusals(zl_value io) {
    Held x(zelt::str("x")), minus_half(zelt::flt(-0.5)), nan(zelt::flt(kNaN));
    Held minus_inf(zelt::flt(-kInfinity)), huge(zelt::flt(1e300)), inf(zelt::flt(kInfinity));
    const Refusal refusals[] = {
        {"wait(1, 2)", {integer(1), integer(2)}, "ArgumentError", "given 2"},
        {"wait(\"x\", 2)", {x, integer(2)}, "ArgumentError", "given 2"},
        {"wait(-1, 2)", {integer(-1), integer(2)}, "ArgumentError", "given 2"},
        {"wait(nil, nil)", {ZL_NIL, ZL_NIL}, "ArgumentError", "given 2"},
        {"wait(-1)", {integer(-1)}, "ArgumentError", ""},
        {"wait(-0.5)", {minus_half}, "ArgumentError", ""},
        {"wait(NaN)", {nan}, "ArgumentError", ""},
        {"wait(-Infinity)", {minus_inf}, "ArgumentError", ""},
        {"wait(\"x\")", {x}, "TypeError", ""},
        {"wait(false)", {ZL_FALSE}, "TypeError", ""},
        {"wait(true)", {ZL_TRUE}, "TypeError", ""},
        {"wait(1e300)", {huge}, "RangeError", ""},
        {"wait(Infinity)", {inf}, "RangeError", ""},
    };
    const zelt::Id wait = zelt::intern("wait");
    for (const Refusal &r : refusals) {
        zt::syscalls::Counter syscalls;
        auto error = raised_by([&] {
            return zelt::call(io, wait, static_cast<int>(r.arguments.size()), r.arguments.data());
        });
        EXPECT_TRUE(raised(error, r.error, r.text)) << r.call;
        EXPECT_EQ(syscalls.ioctls(), 0u) << r.call;
        EXPECT_EQ(syscalls.ppolls(), 0u) << r.call;
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
