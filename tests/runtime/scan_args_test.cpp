// scan_args_test.cpp: argument counts scanned against "<required><optional>" formats.
#include "raised.hpp" // raised_by

#include <zelt.h>         // zl_scan_args
#include <zelt/embed.hpp> // integer, inspect

#include <gtest/gtest.h> // TEST_P
#include <string>        // test names

namespace rt_test {
namespace {

struct ScanCase {
    const char *fmt;
    int argc;
    const char *counts; // the counts an ArgumentError names, or null when the scan passes
};

void PrintTo(const ScanCase &c, std::ostream *os) { *os << '"' << c.fmt << "\" given " << c.argc; }

const ScanCase kScans[] = {
    {"01", 0, nullptr},
    {"01", 1, nullptr},
    {"01", 2, "given 2, expected 0..1"},
    {"01", 3, "given 3, expected 0..1"},
    {"11", 0, "given 0, expected 1..2"},
    {"11", 1, nullptr},
    {"11", 2, nullptr},
    {"11", 3, "given 3, expected 1..2"},
    {"02", 0, nullptr},
    {"02", 1, nullptr},
    {"02", 2, nullptr},
    {"02", 3, "given 3, expected 0..2"},
};

const zl_value kUntouched = zelt::integer(-99); // what a slot holds until the scan stores
const zl_value kArgs[] = {zelt::integer(10), zelt::integer(11), zelt::integer(12)};

class ScanArgs : public ::testing::TestWithParam<ScanCase> {};

// Slot i of the format receives argument i, or nil when the argument was
// omitted; nothing is stored when the count is wrong.
TEST_P(ScanArgs, StoresArgumentsOrNamesTheCounts) {
    const ScanCase &c = GetParam();
    const int slots = (c.fmt[0] - '0') + (c.fmt[1] - '0');
    zl_value out[2] = {kUntouched, kUntouched};
    Raised r = raised_by([&] { zl_scan_args(c.argc, kArgs, c.fmt, &out[0], &out[1]); });
    if (c.counts) {
        EXPECT_EQ(r.class_name, "ArgumentError");
        EXPECT_NE(r.message.find(c.counts), std::string::npos) << r.message;
        EXPECT_EQ(out[0], kUntouched);
        EXPECT_EQ(out[1], kUntouched);
        return;
    }
    ASSERT_EQ(r.class_name, "") << r.message;
    for (int i = 0; i < 2; ++i) {
        zl_value want = i >= slots ? kUntouched : i < c.argc ? kArgs[i] : ZL_NIL;
        EXPECT_EQ(zelt::inspect(out[i]), zelt::inspect(want)) << "slot " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, ScanArgs, ::testing::ValuesIn(kScans), [](const auto &info) {
    return "fmt" + std::string(info.param.fmt) + "_given" + std::to_string(info.param.argc);
});

class MalformedFormat : public ::testing::TestWithParam<const char *> {};

TEST_P(MalformedFormat, RaisesArgumentErrorAndStoresNothing) {
    zl_value out[2] = {kUntouched, kUntouched};
    Raised r = raised_by([&] { zl_scan_args(0, kArgs, GetParam(), &out[0], &out[1]); });
    EXPECT_EQ(r.class_name, "ArgumentError");
    EXPECT_NE(r.message.find("malformed"), std::string::npos) << r.message;
    EXPECT_EQ(out[0], kUntouched);
    EXPECT_EQ(out[1], kUntouched);
}

INSTANTIATE_TEST_SUITE_P(Runtime, MalformedFormat,
                         ::testing::Values("", "x1", "1x", "012", "-1", " 1", "0*", nullptr));

TEST(ScanArgsList, ArgumentsWithoutAnArrayAreRefused) {
    zl_value out = kUntouched;
    EXPECT_EQ(raised_by([&] { zl_scan_args(1, nullptr, "01", &out); }).class_name, "ArgumentError");
    EXPECT_EQ(out, kUntouched);
}

} // namespace
} // namespace rt_test
