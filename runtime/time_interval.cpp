// time_interval.cpp: a time limit in seconds, as an Integer or a Float, to a timeval.
#include "internal.hpp"

#include <cmath>  // isnan, isinf, floor, round
#include <limits> // time_t's range

using namespace zelt::rt;

namespace {

constexpr int64_t kUsecPerSec = 1000000;

// Declared as returning, and hidden from the optimiser's analysis, so that
// the Integer path reaches it by a jump and sets up no frame; it never returns.
#if defined(__clang__)
#define ZL_FAILURE [[gnu::cold, gnu::noinline]] // clang has no noipa
#else
#define ZL_FAILURE [[gnu::cold, gnu::noipa]]
#endif
ZL_FAILURE timeval negative() { raise(eArgumentError, "time interval must not be negative"); }

// Anything but an Integer or a Float.
[[noreturn, gnu::cold, gnu::noinline]] void not_a_number(zl_value limit) {
    if (!is_heap(limit) && limit > ZL_NIL) // neither an immediate nor an object
        raise(eTypeError, "can't convert an invalid value into a time interval");
    raise(eTypeError,
          "can't convert " + zelt::class_name(zelt::class_of(limit)) + " into a time interval");
}

[[gnu::noinline]] timeval from_float(double d) {
    if (std::isnan(d)) raise(eArgumentError, "time interval must be a number, not NaN");
    if (d < 0) return negative();
    // 2^63 is the first double past time_t; the comparison is exact.
    if (d >= 9223372036854775808.0) raise(eRangeError, "time interval is too large");
    double whole = std::floor(d);
    auto sec = static_cast<int64_t>(whole);
    auto usec =
        static_cast<int64_t>(std::round((d - whole) * kUsecPerSec)); // to the nearest microsecond
    if (usec == kUsecPerSec) {
        if (sec == std::numeric_limits<int64_t>::max())
            raise(eRangeError, "time interval is too large");
        ++sec;
        usec = 0;
    }
    return {static_cast<time_t>(sec), static_cast<suseconds_t>(usec)};
}

} // namespace

// An Integer is a test, a shift and a return; a Float and every failure are out of line.
// (The name in parentheses: zelt.h makes it a macro for the inline path.)
extern "C" [[gnu::hot]] timeval(zl_time_interval)(zl_value limit) {
    if (limit & 1u) [[likely]] {                            // an Integer, 2n+1
        const int64_t n = static_cast<int64_t>(limit) >> 1; // arithmetic: keeps the sign
        if (n < 0) [[unlikely]]
            return negative();
        return {static_cast<time_t>(n), 0};
    }
    if (is_heap_of(limit, Type::Float)) return from_float(as<Float>(limit)->value);
    not_a_number(limit);
}
