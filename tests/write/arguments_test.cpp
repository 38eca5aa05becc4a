// arguments_test.cpp: every argument and stream the output side refuses,
// each refused before any wait or kernel query: a closed stream, one not
// open for writing (or, for readable and priority, for reading), a limit
// that is negative, NaN, too large or no number, an unknown event word, an
// empty set of events, a value that is no word, and a wrong count.
#include "output_side.hpp" // require_extensions

#include <calls.hpp>         // Held, raised_by, raised
#include <kernel.hpp>        // make_pipe, Io
#include <syscall_count.hpp> // zt::syscalls::Counter
#include <zelt.h>            // zl_cIO
#include <zelt/embed.hpp>    // call, str, flt, array, intern

#include <gtest/gtest.h>

#include <limits> // NaN, infinity
#include <vector> // argument lists

namespace write_suite {
namespace {

using wait_suite::Held;
using wait_suite::raised;
using wait_suite::raised_by;
using zelt::integer;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

struct Refusal {
    const char *call; // as a program writes it, for the report
    const char *method;
    std::vector<zl_value> arguments;
    const char *error;
    const char *text; // part of the message
};

// Each refusal on IO, with no system call made for it.
void expect_refusals(zl_value io, const std::vector<Refusal> &refusals) {
    for (const Refusal &r : refusals) {
        zt::syscalls::Counter syscalls;
        auto error = raised_by([&] {
            return zelt::call(io, zelt::intern(r.method), static_cast<int>(r.arguments.size()),
                              r.arguments.data());
        });
        EXPECT_TRUE(raised(error, r.error, r.text)) << r.call;
        EXPECT_EQ(syscalls.ioctls(), 0u) << r.call;
        EXPECT_EQ(syscalls.ppolls(), 0u) << r.call;
    }
}

class OutputArguments : public ::testing::Test {
protected:
    static void SetUpTestSuite() { require_extensions(); }
};

TEST_F(OutputArguments, LimitsEventsAndCountsAreRefused) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io out(std::move(pipe.peer));
    Held x(zelt::str("x")), minus_half(zelt::flt(-0.5)), nan(zelt::flt(kNaN));
    Held huge(zelt::flt(1e300)), inf(zelt::flt(kInfinity));
    Held writable(zelt::str("writable")), unknown(zelt::str("writeable")),
        upper(zelt::str("WRITABLE"));
    Held none(zelt::array({})), mixed(zelt::array({writable, integer(1)}));
    Held with_unknown(zelt::array({writable, unknown}));
    const std::vector<Refusal> refusals = {
        {"nwrite(1)", "nwrite", {integer(1)}, "ArgumentError", ""},
        {"writable?(1)", "writable?", {integer(1)}, "ArgumentError", ""},
        {"wait_writable(1, 2)",
         "wait_writable",
         {integer(1), integer(2)},
         "ArgumentError",
         "given 2"},
        {"wait_writable(-1)", "wait_writable", {integer(-1)}, "ArgumentError", ""},
        {"wait_writable(-0.5)", "wait_writable", {minus_half}, "ArgumentError", ""},
        {"wait_writable(NaN)", "wait_writable", {nan}, "ArgumentError", ""},
        {"wait_writable(\"x\")", "wait_writable", {x}, "TypeError", ""},
        {"wait_writable(false)", "wait_writable", {ZL_FALSE}, "TypeError", ""},
        {"wait_writable(1e300)", "wait_writable", {huge}, "RangeError", ""},
        {"wait_writable(Infinity)", "wait_writable", {inf}, "RangeError", ""},
        {"wait_for", "wait_for", {}, "ArgumentError", "given 0"},
        {"wait_for(w, 1, 2)",
         "wait_for",
         {writable, integer(1), integer(2)},
         "ArgumentError",
         "given 3"},
        {"wait_for(\"writeable\")",
         "wait_for",
         {unknown},
         "ArgumentError",
         "unknown event \"writeable\""},
        {"wait_for(\"WRITABLE\")", "wait_for", {upper}, "ArgumentError", "unknown event"},
        {"wait_for([])", "wait_for", {none}, "ArgumentError", "no events"},
        {"wait_for([w, 1])", "wait_for", {mixed}, "TypeError", "not 1"},
        {"wait_for([w, \"writeable\"])",
         "wait_for",
         {with_unknown},
         "ArgumentError",
         "unknown event"},
        {"wait_for(1)", "wait_for", {integer(1)}, "TypeError", ""},
        {"wait_for(nil)", "wait_for", {ZL_NIL}, "TypeError", ""},
        {"wait_for(w, -1)", "wait_for", {writable, integer(-1)}, "ArgumentError", ""},
        {"wait_for(w, NaN)", "wait_for", {writable, nan}, "ArgumentError", ""},
        {"wait_for(w, 1e300)", "wait_for", {writable, huge}, "RangeError", ""},
        {"wait_for(w, \"x\")", "wait_for", {writable, x}, "TypeError", ""},
    };
    expect_refusals(out, refusals);
    EXPECT_EQ(zelt::call(out, "writable?"), ZL_TRUE) << "the stream stays usable";
}

// The mode each method needs: writing for all but wait_for, which needs
// what its events ask (reading for readable and priority, writing for
// writable, only an open stream for hangup and error).
TEST_F(OutputArguments, AStreamNotOpenForWhatIsAskedIsRefused) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io in(std::move(pipe.near)), out(std::move(pipe.peer));
    Held readable(zelt::str("readable")), writable(zelt::str("writable"));
    Held priority(zelt::str("priority")), hangup(zelt::str("hangup")), error(zelt::str("error"));
    expect_refusals(in,
                    {
                        {"nwrite", "nwrite", {}, "IOError", "not opened for writing"},
                        {"writable?", "writable?", {}, "IOError", "not opened for writing"},
                        {"wait_writable", "wait_writable", {}, "IOError", "not opened for writing"},
                        {"wait_writable(-1)",
                         "wait_writable",
                         {integer(-1)},
                         "IOError",
                         "not opened for writing"},
                        {"wait_for(w, 0)",
                         "wait_for",
                         {writable, integer(0)},
                         "IOError",
                         "not opened for writing"},
                    });
    expect_refusals(out, {
                             {"wait_for(r, 0)",
                              "wait_for",
                              {readable, integer(0)},
                              "IOError",
                              "not opened for reading"},
                             {"wait_for(p, 0)",
                              "wait_for",
                              {priority, integer(0)},
                              "IOError",
                              "not opened for reading"},
                         });
    Held zero(integer(0));
    EXPECT_EQ(zelt::call(out, "wait_for", {hangup, zero}), ZL_NIL);
    EXPECT_EQ(zelt::call(in, "wait_for", {error, zero}), ZL_NIL);
}

// A closed stream is refused first, before the arguments are looked at.
TEST_F(OutputArguments, AClosedStreamIsRefusedBeforeTheArguments) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io out(std::move(pipe.peer));
    zelt::call(out, "close");
    Held unknown(zelt::str("writeable"));
    expect_refusals(
        out, {
                 {"nwrite", "nwrite", {}, "IOError", "closed stream"},
                 {"writable?", "writable?", {}, "IOError", "closed stream"},
                 {"wait_writable(-1)", "wait_writable", {integer(-1)}, "IOError", "closed stream"},
                 {"wait_writable(1, 2)",
                  "wait_writable",
                  {integer(1), integer(2)},
                  "IOError",
                  "closed stream"},
                 {"wait_for(\"writeable\")", "wait_for", {unknown}, "IOError", "closed stream"},
             });
}

// IO.wait_any's events: the same words and refusals, each stream held to
// the mode its events ask.
TEST_F(OutputArguments, WaitAnyRefusesBadEventsAndStreamsNotOpenForThem) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io in(std::move(pipe.near)), out(std::move(pipe.peer));
    Held ins(zelt::array({in.value()})), outs(zelt::array({out.value()}));
    Held unknown(zelt::str("writeable")), none(zelt::array({})), writable(zelt::str("writable"));
    const struct {
        const char *call;
        std::vector<zl_value> arguments;
        const char *error;
        const char *text;
    } refusals[] = {
        {"wait_any([in], nil, \"writeable\")",
         {ins, ZL_NIL, unknown},
         "ArgumentError",
         "unknown event"},
        {"wait_any([in], nil, [])", {ins, ZL_NIL, none}, "ArgumentError", "no events"},
        {"wait_any([in], nil, 1)", {ins, ZL_NIL, integer(1)}, "TypeError", ""},
        {"wait_any([in], nil, \"writable\")",
         {ins, ZL_NIL, writable},
         "IOError",
         "not opened for writing"},
        {"wait_any([out])", {outs}, "IOError", "not opened for reading"},
        {"wait_any([out], nil, w, 1)",
         {outs, ZL_NIL, writable, integer(1)},
         "ArgumentError",
         "given 4"},
    };
    for (const auto &r : refusals) {
        auto error = raised_by([&] {
            return zelt::call(zl_cIO, zelt::intern("wait_any"),
                              static_cast<int>(r.arguments.size()), r.arguments.data());
        });
        EXPECT_TRUE(raised(error, r.error, r.text)) << r.call;
    }
}

} // namespace
} // namespace write_suite
