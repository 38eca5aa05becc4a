// fuzz_time_interval.cpp: zl_time_interval over every kind of word a caller can hand it.
//
// Each input is a sequence of records, a kind byte then its payload. Every
// conversion must give a timeval of whole seconds and 0 <= usec < 1e6 that
// matches the limit, or raise the class that the limit's kind calls for.
#include "fuzz_bytes.hpp" // zf::Bytes

#include <zelt/embed.hpp> // zl_time_interval, zelt::Error, integer, flt, str, io_new

#include <cmath>    // isnan, fabs, nextafter
#include <cstdint>  // int64_t, uint64_t
#include <cstdio>   // fprintf
#include <cstdlib>  // abort
#include <cstring>  // memcpy
#include <fcntl.h>  // open
#include <limits>   // infinities, NaN, denormals
#include <optional> // integer_case
#include <string>   // expected class names

namespace {

constexpr int64_t kIntMax = (int64_t{1} << 61) - 1; // what an Integer word holds
constexpr int64_t kIntMin = -(int64_t{1} << 61);
constexpr double kTwo63 = 9223372036854775808.0;

// What a conversion must end in: a value (empty class) or an exception class.
struct Case {
    zl_value word;
    bool owned;         // made here, released after the call
    std::string raises; // "" when the limit is valid
    double seconds;     // the limit, when valid
    std::string what;   // for the report
};

[[noreturn]] void fail(const Case &c, const std::string &got) {
    std::fprintf(stderr, "zl_time_interval(%s): expected %s, got %s\n", c.what.c_str(),
                 c.raises.empty() ? "a timeval" : c.raises.c_str(), got.c_str());
    std::abort();
}

zl_value dev_null_io() {
    static const zl_value io = zelt::io_new(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    return io;
}

// None when N is outside what an Integer holds: then the constructor must refuse it.
std::optional<Case> integer_case(int64_t n) {
    std::string what = "Integer " + std::to_string(n);
    if (n < kIntMin || n > kIntMax) {
        Case refused{0, false, "RangeError", 0, "integer(" + std::to_string(n) + ")"};
        try {
            zelt::integer(n);
        } catch (const zelt::Error &e) {
            if (e.class_name() != refused.raises) fail(refused, e.class_name());
            return std::nullopt;
        }
        fail(refused, "an Integer");
    }
    return Case{zelt::integer(n), false, n < 0 ? "ArgumentError" : "", static_cast<double>(n),
                what};
}

Case float_case(double d) {
    char text[64];
    std::snprintf(text, sizeof text, "Float %a", d);
    std::string raises;
    if (std::isnan(d) || d < 0) raises = "ArgumentError";
    if (d >= kTwo63) raises = "RangeError";
    return {zelt::flt(d), true, raises, d, text};
}

double edge_float(uint8_t pick) {
    using L = std::numeric_limits<double>;
    static const double edges[] = {0.0,
                                   -0.0,
                                   L::quiet_NaN(),
                                   -L::quiet_NaN(),
                                   L::signaling_NaN(),
                                   L::infinity(),
                                   -L::infinity(),
                                   L::denorm_min(),
                                   -L::denorm_min(),
                                   L::min(),
                                   L::max(),
                                   -L::max(),
                                   L::epsilon(),
                                   kTwo63,
                                   std::nextafter(kTwo63, 0.0),
                                   0x1p53,
                                   0x1p52 - 0.5,
                                   0.9999995,
                                   0.99999949999999,
                                   1e-7,
                                   5e-7,
                                   4.9999999e-7,
                                   2.5,
                                   1e300,
                                   -1e-300,
                                   86400.0 * 365 * 1000};
    return edges[pick % (sizeof edges / sizeof edges[0])];
}

std::optional<Case> next_case(zf::Bytes &in) {
    switch (in.byte() % 8) {
    case 0: return integer_case(static_cast<int64_t>(in.word()) >> 2); // all of Integer's range
    case 1: return integer_case(static_cast<int64_t>(in.word()));      // mostly out of range
    case 2: {
        uint64_t bits = in.word();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return float_case(d);
    }
    case 3: return float_case(edge_float(in.byte()));
    case 4: {
        std::string s = in.text();
        return Case{zelt::str(s), true, "TypeError", 0, "String of " + std::to_string(s.size())};
    }
    case 5: {
        static const zl_value constants[] = {ZL_FALSE, ZL_TRUE, ZL_NIL};
        static const char *const names[] = {"false", "true", "nil"};
        uint8_t i = in.byte() % 3;
        return Case{constants[i], false, "TypeError", 0, names[i]};
    }
    case 6:
        if (in.byte() & 1) return Case{zl_cIO, false, "TypeError", 0, "the IO class"};
        return Case{dev_null_io(), false, "TypeError", 0, "an IO"};
    default: { // an even word that is neither an immediate nor 8-byte aligned
        uint64_t w = (in.word() & ~uint64_t{7}) | (uint64_t{in.byte()} % 3 + 1) * 2;
        if (w <= ZL_NIL) w += 8;
        return Case{w, false, "TypeError", 0, "word " + std::to_string(w)};
    }
    }
}

void check(const Case &c) {
    timeval tv{};
    try {
        tv = zl_time_interval(c.word);
    } catch (const zelt::Error &e) {
        if (e.class_name() != c.raises) fail(c, e.class_name() + ": " + e.message());
        if (e.message().empty()) fail(c, e.class_name() + " without a message");
        return;
    }
    if (!c.raises.empty())
        fail(c, "{" + std::to_string(tv.tv_sec) + ", " + std::to_string(tv.tv_usec) + "}");
    if (tv.tv_sec < 0 || tv.tv_usec < 0 || tv.tv_usec >= 1000000) fail(c, "a malformed timeval");
    // Seconds are floor(limit), or one more when the fraction rounds up to a whole second.
    double off_us =
        (c.seconds - static_cast<double>(tv.tv_sec)) * 1e6 - static_cast<double>(tv.tv_usec);
    if (!(std::fabs(off_us) <= 0.5 + 1e-6))
        fail(c, "{" + std::to_string(tv.tv_sec) + ", " + std::to_string(tv.tv_usec) + "}, off by " +
                    std::to_string(off_us) + " us");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    zf::Bytes in(data, size);
    while (!in.empty()) {
        std::optional<Case> c = next_case(in);
        if (!c) continue;
        check(*c);
        if (c->owned) zelt::release(c->word);
    }
    return 0;
}
