// scan_args_test.cpp: argument counts scanned against "<required><optional>" formats.
#include "case_names.hpp" // ByName
#include "raised.hpp"     // raised_by

#include <zelt.h>         // zl_scan_args
#include <zelt/embed.hpp> // integer, inspect

#include <array>         // the formats
#include <climits>       // INT_MIN
#include <gtest/gtest.h> // TEST_P
#include <string>        // test names
#include <utility>       // index_sequence: every format written as a constant

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

// ---- every slot a format may name ---------------------------------------------

constexpr int kMostSlots = 18; // "99"

struct SlotCase {
    const char *name;
    const char *fmt;
    int argc;
    bool no_array;       // argv null
    unsigned null_slots; // bit i: slot i's pointer is null, to be skipped
    const char *counts;  // the counts an ArgumentError names, or null when the scan passes
};

void PrintTo(const SlotCase &c, std::ostream *os) { *os << c.name; }

const SlotCase kSlots[] = {
    {"third_slot_of_21", "21", 3, false, 0, nullptr},
    {"omitted_after_the_first_of_03", "03", 1, false, 0, nullptr},
    {"all_eighteen_of_99", "99", 18, false, 0, nullptr},
    {"nine_omitted_of_99", "99", 9, false, 0, nullptr},
    {"null_first_slot", "02", 2, false, 1u << 0, nullptr},
    {"null_second_slot", "11", 2, false, 1u << 1, nullptr},
    {"null_slots_past_the_second", "90", 9, false, (1u << 2) | (1u << 8), nullptr},
    {"no_array_for_no_argument", "01", 0, true, 0, nullptr},
    {"no_array_and_no_slot", "00", 0, true, 0, nullptr},
    {"no_array_for_one_argument", "02", 1, true, 0, "given 1, expected 0..2"},
    {"negative_count", "01", -1, false, 0, "given -1, expected 0..1"},
    {"most_negative_count", "10", INT_MIN, false, 0, "expected 1)"},
    {"one_past_99", "99", 19, false, 0, "given 19, expected 9..18"},
};

class ScanSlots : public ::testing::TestWithParam<SlotCase> {};

// Slot i of the format receives argument i, or nil when omitted; a null
// pointer is skipped; a slot past the format's is never touched.
TEST_P(ScanSlots, StoresEachSlotOrRefusesTheCall) {
    const SlotCase &c = GetParam();
    zl_value args[kMostSlots + 1], out[kMostSlots];
    zl_value *to[kMostSlots];
    for (int i = 0; i < kMostSlots; ++i) {
        args[i] = zelt::integer(100 + i);
        out[i] = kUntouched;
        to[i] = c.null_slots & (1u << i) ? nullptr : &out[i];
    }
    args[kMostSlots] = zelt::integer(-1);
    Raised r = raised_by([&] {
        zl_scan_args(c.argc, c.no_array ? nullptr : args, c.fmt, to[0], to[1], to[2], to[3], to[4],
                     to[5], to[6], to[7], to[8], to[9], to[10], to[11], to[12], to[13], to[14],
                     to[15], to[16], to[17]);
    });
    const int slots = (c.fmt[0] - '0') + (c.fmt[1] - '0');
    for (int i = 0; i < kMostSlots; ++i) {
        const bool stored = !c.counts && i < slots && to[i];
        const zl_value want = !stored ? kUntouched : i < c.argc ? args[i] : ZL_NIL;
        EXPECT_EQ(zelt::inspect(out[i]), zelt::inspect(want)) << "slot " << i;
    }
    if (!c.counts) {
        EXPECT_EQ(r.class_name, "") << r.message;
        return;
    }
    EXPECT_EQ(r.class_name, "ArgumentError");
    EXPECT_NE(r.message.find(c.counts), std::string::npos) << r.message;
}

INSTANTIATE_TEST_SUITE_P(Runtime, ScanSlots, ::testing::ValuesIn(kSlots), ByName());

// ---- the inline path: a format written as a constant ---------------------------

// What one scan did: each slot as it was left, and what it raised.
struct Scanned {
    zl_value out[kMostSlots];
    Raised raised;
};

// FMT is "<R><O>", a constant the compiler sees: zelt.h's inline path takes
// the call when it fits, the exported scan otherwise (EXPORTED: always).
template <int R, int O>
Scanned scan_constant(int argc, const zl_value *argv, unsigned null_slots, bool exported) {
    static constexpr char fmt[] = {static_cast<char>('0' + R), static_cast<char>('0' + O), '\0'};
    Scanned s{};
    zl_value *to[kMostSlots];
    for (int i = 0; i < kMostSlots; ++i) {
        s.out[i] = kUntouched;
        to[i] = null_slots & (1u << i) ? nullptr : &s.out[i];
    }
    s.raised = raised_by([&] {
        if (exported)
            (zl_scan_args)(argc, argv, fmt, to[0], to[1], to[2], to[3], to[4], to[5], to[6], to[7],
                           to[8], to[9], to[10], to[11], to[12], to[13], to[14], to[15], to[16],
                           to[17]);
        else
            zl_scan_args(argc, argv, fmt, to[0], to[1], to[2], to[3], to[4], to[5], to[6], to[7],
                         to[8], to[9], to[10], to[11], to[12], to[13], to[14], to[15], to[16],
                         to[17]);
    });
    return s;
}

using ScanFn = Scanned (*)(int, const zl_value *, unsigned, bool);

template <std::size_t... I> constexpr auto every_format(std::index_sequence<I...>) {
    return std::array<ScanFn, sizeof...(I)>{&scan_constant<I / 10, I % 10>...};
}

// Every "<required><optional>" format, given every count from below zero to
// past its most, with and without an array, and with null pointers: the
// inline path stores and raises exactly as the exported scan does.
TEST(ScanArgsConstantFormat, InlineAndExportedAgree) {
    static constexpr auto kFormats = every_format(std::make_index_sequence<100>());
    zl_value args[kMostSlots + 1];
    for (int i = 0; i <= kMostSlots; ++i) args[i] = zelt::integer(100 + i);
    for (int f = 0; f < 100; ++f) {
        const int most = f / 10 + f % 10;
        for (int argc : {INT_MIN, -1, 0, 1, 2, most - 1, most, most + 1}) {
            for (bool no_array : {false, true}) {
                for (unsigned nulls : {0u, 1u, 0x2aaaau}) {
                    const zl_value *argv = no_array ? nullptr : args;
                    const Scanned in = kFormats[f](argc, argv, nulls, false);
                    const Scanned ex = kFormats[f](argc, argv, nulls, true);
                    const std::string what = "format " + std::to_string(f / 10) +
                                             std::to_string(f % 10) + " given " +
                                             std::to_string(argc) + (no_array ? " no array" : "") +
                                             " nulls " + std::to_string(nulls);
                    ASSERT_EQ(in.raised.class_name, ex.raised.class_name) << what;
                    ASSERT_EQ(in.raised.message, ex.raised.message) << what;
                    for (int i = 0; i < kMostSlots; ++i)
                        ASSERT_EQ(in.out[i], ex.out[i]) << what << ", slot " << i;
                }
            }
        }
    }
}

#if defined(__OPTIMIZE__) && defined(__GNUC__) && !defined(ZL_NO_INLINE_CALLS)
// The comparison above means something only if the inline path runs: in an
// optimised build, the compiler sees a constant format's shape.
// As zelt.h asks it: in an inline function, of the shape's value.
[[gnu::always_inline]] inline bool shape_seen(const char *fmt) {
    const unsigned shape = zl_scan_shape_(fmt);
    return __builtin_constant_p(shape);
}

TEST(ScanArgsConstantFormat, ShapeIsSeenWhenCompiled) {
    const bool seen = shape_seen("01");
    EXPECT_TRUE(seen);
    EXPECT_EQ(zl_scan_shape_("01"), 0x110u);
    EXPECT_EQ(zl_scan_shape_("9"), 0x109u);
    for (const char *bad : {"", "x1", "1x", "012", static_cast<const char *>(nullptr)})
        EXPECT_EQ(zl_scan_shape_(bad), 0u) << (bad ? bad : "(null)");
}
#endif

} // namespace
} // namespace rt_test
