// scan_args.cpp: a method's arguments checked against "<required><optional>".
#include "internal.hpp"

#include <cstdarg> // va_list

namespace {

[[noreturn, gnu::cold, gnu::noinline]] void malformed(const char *fmt) {
    zelt::rt::raise(zelt::rt::eArgumentError,
                    std::string("malformed argument format \"") + (fmt ? fmt : "") + "\"");
}

[[noreturn, gnu::cold, gnu::noinline]] void wrong_count(int argc, unsigned required,
                                                        unsigned optional) {
    std::string expected = std::to_string(required);
    if (optional) expected += ".." + std::to_string(required + optional);
    zelt::rt::raise(zelt::rt::eArgumentError, "wrong number of arguments (given " +
                                                  std::to_string(argc) + ", expected " + expected +
                                                  ")");
}

// A format character's digit, or above 9 for anything else.
unsigned digit(char c) { return static_cast<unsigned char>(c) - unsigned{'0'}; }

} // namespace

// The failures out of line, so that a call that passes builds no frame for
// them; the count's test in unsigned arithmetic, one comparison.
// (The name in parentheses: zelt.h makes it a macro for the inline path.)
extern "C" [[gnu::hot]] void(zl_scan_args)(int argc, const zl_value *argv, const char *fmt, ...) {
    if (!fmt) [[unlikely]]
        malformed(fmt);
    const unsigned required = digit(fmt[0]);
    unsigned optional = 0;
    if (required > 9) [[unlikely]]
        malformed(fmt);
    if (fmt[1]) {
        optional = digit(fmt[1]);
        if (optional > 9 || fmt[2]) [[unlikely]]
            malformed(fmt);
    }
    // REQUIRED <= ARGC <= REQUIRED + OPTIONAL; a negative ARGC wraps above.
    if (static_cast<unsigned>(argc) - required > optional) [[unlikely]]
        wrong_count(argc, required, optional);
    if (!argv && argc != 0) [[unlikely]] // argv first: a call that passes with arguments has it
        wrong_count(argc, required, optional);
    const unsigned given = static_cast<unsigned>(argc), total = required + optional;
    if (total == 0) return;
    va_list ap;
    va_start(ap, fmt);
    // The first two pointers, the common case, unrolled: their place in the
    // argument registers is known when compiled. The rest, for a rare format,
    // laid out apart: else the common case pays for the loop's registers.
    if (zl_value *out = va_arg(ap, zl_value *)) *out = given > 0 ? argv[0] : ZL_NIL;
    if (total > 1) {
        if (zl_value *out = va_arg(ap, zl_value *)) *out = given > 1 ? argv[1] : ZL_NIL;
#pragma GCC unroll 1 // not unrolled: its copies, 340 bytes, sat on the hot page
        for (unsigned i = 2; __builtin_expect(i < total, 0); ++i)
            if (zl_value *out = va_arg(ap, zl_value *)) *out = i < given ? argv[i] : ZL_NIL;
    }
    va_end(ap);
}
