// time_interval.cpp: a time limit in seconds, as an Integer or a Float, to a timeval.
#include "internal.hpp"

#include <cmath>  // isnan, isinf, floor, round
#include <limits> // time_t's range

using namespace zelt::rt;

namespace {

constexpr int64_t kUsecPerSec = 1000000;

timeval from_float(double d) {
    if (std::isnan(d)) raise(eArgumentError, "time interval must be a number, not NaN");
    if (d < 0) raise(eArgumentError, "time interval must not be negative");
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

extern "C" timeval zl_time_interval(zl_value limit) {
    if (zelt::is_integer(limit)) {
        int64_t n = zelt::integer_value(limit);
        if (n < 0) raise(eArgumentError, "time interval must not be negative");
        return {static_cast<time_t>(n), 0};
    }
    if (zelt::is_float(limit)) return from_float(zelt::float_value(limit));
    if (!is_heap(limit) && limit > ZL_NIL) // neither an immediate nor an object
        raise(eTypeError, "can't convert an invalid value into a time interval");
    raise(eTypeError,
          "can't convert " + zelt::class_name(zelt::class_of(limit)) + " into a time interval");
}
