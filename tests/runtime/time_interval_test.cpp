// time_interval_test.cpp: time limits of every kind turned into a timeval, or refused.
#include "case_names.hpp" // ByName
#include "raised.hpp"     // raised_by, Value

#include <zelt.h>         // zl_time_interval
#include <zelt/embed.hpp> // integer, flt, str, io_new

#include <cmath>         // nextafter
#include <cstdint>       // int64_t
#include <fcntl.h>       // open
#include <gtest/gtest.h> // TEST_P
#include <limits>        // quiet_NaN, infinity

namespace rt_test {
namespace {

constexpr int64_t kIntMax = (int64_t{1} << 61) - 1; // the largest immediate Integer
constexpr double kInf = std::numeric_limits<double>::infinity();

struct LimitCase {
    const char *name;
    zl_value (*make)(); // the limit, released after the test
    const char *error;  // the class raised, or null when it converts
    int64_t sec = 0;
    int64_t usec = 0;
    const char *says = ""; // a part of the error's message
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

zl_value dev_null_io() { return zelt::io_new(::open("/dev/null", O_RDONLY | O_CLOEXEC)); }

const LimitCase kLimits[] = {
    {"integer_zero", [] { return zelt::integer(0); }, nullptr, 0, 0},
    {"integer_two", [] { return zelt::integer(2); }, nullptr, 2, 0},
    {"largest_integer", [] { return zelt::integer(kIntMax); }, nullptr, kIntMax, 0},
    {"float_zero", [] { return zelt::flt(0.0); }, nullptr, 0, 0},
    {"negative_float_zero", [] { return zelt::flt(-0.0); }, nullptr, 0, 0},
    {"two_and_a_half", [] { return zelt::flt(2.5); }, nullptr, 2, 500000},
    {"one_microsecond", [] { return zelt::flt(1e-6); }, nullptr, 0, 1},
    {"tenth_of_a_microsecond", [] { return zelt::flt(1e-7); }, nullptr, 0, 0},
    {"rounds_up_into_the_next_second", [] { return zelt::flt(0.9999999); }, nullptr, 1, 0},
    {"largest_float_below_2_63", [] { return zelt::flt(std::nextafter(0x1p63, 0.0)); }, nullptr,
     9223372036854774784, 0},
    {"integer_minus_one", [] { return zelt::integer(-1); }, "ArgumentError", 0, 0, "negative"},
    {"smallest_integer", [] { return zelt::integer(-kIntMax - 1); }, "ArgumentError", 0, 0,
     "negative"},
    {"minus_half", [] { return zelt::flt(-0.5); }, "ArgumentError", 0, 0, "negative"},
    {"tiny_negative", [] { return zelt::flt(-1e-300); }, "ArgumentError", 0, 0, "negative"},
    {"minus_infinity", [] { return zelt::flt(-kInf); }, "ArgumentError", 0, 0, "negative"},
    {"nan", [] { return zelt::flt(std::numeric_limits<double>::quiet_NaN()); }, "ArgumentError", 0,
     0, "NaN"},
    {"negative_nan", [] { return zelt::flt(-std::numeric_limits<double>::quiet_NaN()); },
     "ArgumentError", 0, 0, "NaN"},
    {"two_to_the_63", [] { return zelt::flt(0x1p63); }, "RangeError", 0, 0, "too large"},
    {"ten_to_the_300", [] { return zelt::flt(1e300); }, "RangeError", 0, 0, "too large"},
    {"plus_infinity", [] { return zelt::flt(kInf); }, "RangeError", 0, 0, "too large"},
    {"false", [] { return ZL_FALSE; }, "TypeError", 0, 0, "FalseClass"},
    {"true", [] { return ZL_TRUE; }, "TypeError", 0, 0, "TrueClass"},
    {"nil", [] { return ZL_NIL; }, "TypeError", 0, 0, "NilClass"},
    {"string", [] { return zelt::str("1"); }, "TypeError", 0, 0, "String"},
    {"io", dev_null_io, "TypeError", 0, 0, "IO"},
    {"a_class", [] { return zl_cIO; }, "TypeError", 0, 0, "Class"},
    {"a_word_that_is_no_value", [] { return zl_value{6}; }, "TypeError", 0, 0, "invalid"},
};

class TimeInterval : public ::testing::TestWithParam<LimitCase> {};

TEST_P(TimeInterval, ConvertsOrRaises) {
    const LimitCase &c = GetParam();
    Value limit(c.make());
    timeval tv{-1, -1};
    Raised r = raised_by([&] { tv = zl_time_interval(limit); });
    if (c.error) {
        EXPECT_EQ(r.class_name, c.error);
        EXPECT_NE(r.message.find(c.says), std::string::npos) << r.message;
    } else {
        ASSERT_EQ(r.class_name, "") << r.message;
        EXPECT_EQ(tv.tv_sec, c.sec);
        EXPECT_EQ(tv.tv_usec, c.usec);
    }
}

// zelt.h converts an Integer of zero or more inline and hands every other
// word to the exported function: both ways give the same timeval, or raise
// the same error, for every kind of limit.
TEST_P(TimeInterval, InlineAndExportedAgree) {
    Value limit(GetParam().make());
    timeval inline_tv{-1, -1}, exported_tv{-2, -2};
    Raised inline_r = raised_by([&] { inline_tv = zl_time_interval(limit); });
    Raised exported_r = raised_by([&] { exported_tv = (zl_time_interval)(limit); });
    EXPECT_EQ(inline_r.class_name, exported_r.class_name);
    EXPECT_EQ(inline_r.message, exported_r.message);
    if (exported_r.class_name.empty()) {
        EXPECT_EQ(inline_tv.tv_sec, exported_tv.tv_sec);
        EXPECT_EQ(inline_tv.tv_usec, exported_tv.tv_usec);
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, TimeInterval, ::testing::ValuesIn(kLimits), ByName());

} // namespace
} // namespace rt_test
