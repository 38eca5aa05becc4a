// inspect_test.cpp: how values print, and Integers across the header's and the runtime's encodings.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // make_pipe, Io
#include "raised.hpp"     // raised_by, Value

#include <zelt.h>         // zl_int_new
#include <zelt/embed.hpp> // inspect, integer, flt, str

#include <cstdint>       // INT32_MIN, int64_t
#include <gtest/gtest.h> // TEST_P
#include <limits>        // infinity, quiet_NaN
#include <string>        // expected texts

namespace rt_test {
namespace {

constexpr int64_t kIntMax = (int64_t{1} << 61) - 1;

struct Printed {
    const char *name;
    zl_value (*make)(); // released after the test
    const char *text;
};

void PrintTo(const Printed &c, std::ostream *os) { *os << c.name; }

const Printed kPrinted[] = {
    {"five", [] { return zelt::integer(5); }, "5"},
    {"minus_three", [] { return zelt::integer(-3); }, "-3"},
    {"largest_integer", [] { return zelt::integer(kIntMax); }, "2305843009213693951"},
    {"smallest_integer", [] { return zelt::integer(-kIntMax - 1); }, "-2305843009213693952"},
    {"two_and_a_half", [] { return zelt::flt(2.5); }, "2.5"},
    {"two_point_zero", [] { return zelt::flt(2.0); }, "2.0"},
    {"minus_half", [] { return zelt::flt(-0.5); }, "-0.5"},
    {"nan", [] { return zelt::flt(std::numeric_limits<double>::quiet_NaN()); }, "NaN"},
    {"minus_infinity", [] { return zelt::flt(-std::numeric_limits<double>::infinity()); },
     "-Infinity"},
    {"true", [] { return ZL_TRUE; }, "true"},
    {"false", [] { return ZL_FALSE; }, "false"},
    {"nil", [] { return ZL_NIL; }, "nil"},
    {"line", [] { return zelt::str("a\n"); }, R"("a\n")"},
    {"empty_string", [] { return zelt::str(""); }, R"("")"},
    {"quotes", [] { return zelt::str(R"(say "hi")"); }, R"("say \"hi\"")"},
    {"backslash", [] { return zelt::str(R"(a\b)"); }, R"("a\\b")"},
    {"tab_and_return", [] { return zelt::str("\t\r"); }, R"("\t\r")"},
    {"control_bytes", [] { return zelt::str(std::string_view("\0\x01\x7f", 3)); },
     R"("\x00\x01\x7F")"},
    {"the_io_class", [] { return zl_cIO; }, "IO"},
};

class Inspect : public ::testing::TestWithParam<Printed> {};

TEST_P(Inspect, PrintsTheValue) {
    Value v(GetParam().make());
    EXPECT_EQ(zelt::inspect(v), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Runtime, Inspect, ::testing::ValuesIn(kPrinted), ByName());

TEST(InspectIo, ShowsTheDescriptorUntilClosed) {
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    EXPECT_EQ(zelt::inspect(io), "#<IO:fd " + std::to_string(fd) + ">");
    zelt::call(io, "close");
    EXPECT_EQ(zelt::inspect(io), "#<IO:(closed)>");
}

// ---- Integers -------------------------------------------------------------------

class IntegerEncoding : public ::testing::TestWithParam<int32_t> {};

// The header's inline encoding and the runtime's agree, both ways.
TEST_P(IntegerEncoding, HeaderAndRuntimeAgree) {
    const int32_t n = GetParam();
    EXPECT_EQ(zl_int_new(n), zelt::integer(n));
    EXPECT_TRUE(zl_is_int(zl_int_new(n)));
    EXPECT_EQ(zelt::integer_value(zl_int_new(n)), n);
}

INSTANTIATE_TEST_SUITE_P(Runtime, IntegerEncoding,
                         ::testing::Values(INT32_MIN, -1, 0, 1, INT32_MAX));

TEST(IntegerRange, BeyondTheImmediateRangeRaisesRangeError) {
    EXPECT_EQ(raised_by([] { zelt::integer(kIntMax + 1); }).class_name, "RangeError");
    EXPECT_EQ(raised_by([] { zelt::integer(-kIntMax - 2); }).class_name, "RangeError");
    EXPECT_EQ(raised_by([] { zelt::integer(INT64_MAX); }).class_name, "RangeError");
}

} // namespace
} // namespace rt_test
