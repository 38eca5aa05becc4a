// scan_args.cpp: a method's arguments checked against "<required><optional>".
#include "internal.hpp"

#include <cstdarg> // va_list

extern "C" void zl_scan_args(int argc, const zl_value *argv, const char *fmt, ...) {
    using namespace zelt::rt;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (!fmt || !digit(fmt[0]) || (fmt[1] && (!digit(fmt[1]) || fmt[2])))
        raise(eArgumentError,
              std::string("malformed argument format \"") + (fmt ? fmt : "") + "\"");
    const int required = fmt[0] - '0';
    const int optional = fmt[1] ? fmt[1] - '0' : 0;
    if (argc < required || argc > required + optional || (argc > 0 && !argv)) {
        std::string expected = std::to_string(required);
        if (optional) expected += ".." + std::to_string(required + optional);
        raise(eArgumentError, "wrong number of arguments (given " + std::to_string(argc) +
                                  ", expected " + expected + ")");
    }
    va_list ap;
    va_start(ap, fmt);
    for (int i = 0; i < required + optional; ++i) {
        zl_value *out = va_arg(ap, zl_value *);
        if (out) *out = i < argc ? argv[i] : ZL_NIL; // omitted optionals read as nil
    }
    va_end(ap);
}
