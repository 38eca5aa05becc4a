// scan_args.cpp: a method's arguments checked against "<required><optional>".
#include "internal.hpp"

#include <cstdarg> // va_list

namespace {

bool digit(char c) { return c >= '0' && c <= '9'; }

[[noreturn, gnu::cold, gnu::noinline]] void malformed(const char *fmt) {
    zelt::rt::raise(zelt::rt::eArgumentError,
                    std::string("malformed argument format \"") + (fmt ? fmt : "") + "\"");
}

[[noreturn, gnu::cold, gnu::noinline]] void wrong_count(int argc, int required, int optional) {
    std::string expected = std::to_string(required);
    if (optional) expected += ".." + std::to_string(required + optional);
    zelt::rt::raise(zelt::rt::eArgumentError, "wrong number of arguments (given " +
                                                  std::to_string(argc) + ", expected " + expected +
                                                  ")");
}

} // namespace

// The failures out of line, so that a call that passes builds no frame for them.
extern "C" [[gnu::hot]] void zl_scan_args(int argc, const zl_value *argv, const char *fmt, ...) {
    if (!fmt || !digit(fmt[0]) || (fmt[1] && (!digit(fmt[1]) || fmt[2]))) [[unlikely]]
        malformed(fmt);
    const int required = fmt[0] - '0';
    const int optional = fmt[1] ? fmt[1] - '0' : 0;
    if (argc < required || argc > required + optional || (argc > 0 && !argv)) [[unlikely]]
        wrong_count(argc, required, optional);
    va_list ap;
    va_start(ap, fmt);
    // One pointer after another; the first ones, the common case, unrolled so
    // that their place in the argument registers is known when compiled.
    const int total = required + optional;
    int i = 0;
    auto next = [&] {
        if (zl_value *out = va_arg(ap, zl_value *)) *out = i < argc ? argv[i] : ZL_NIL;
        ++i;
    };
    if (total > 0) next();
    if (total > 1) next();
    while (i < total) next();
    va_end(ap);
}
