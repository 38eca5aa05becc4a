// fuzz_call_parser.cpp: zelt-io's CALL parser over arbitrary bytes.
//
// Every input must parse or throw ParseError with an offset inside the
// input; nothing else may escape. A parsed call, written back in canonical
// form, must parse to the same call, and each of its arguments must become a
// runtime value the way zelt-io makes them (an integer past 62 bits being
// refused with RangeError).
#include <call_parser.hpp> // zelt_io::parse_call, Call, Arg, ParseError

#include <zelt/embed.hpp> // integer, flt, str, inspect, release, zelt::Error

#include <bit>     // bit_cast: floats compared bit for bit
#include <cstdint> // uint8_t, int64_t
#include <cstdio>  // fprintf
#include <cstdlib> // abort
#include <string>  // canonical text
#include <variant> // visiting arguments

namespace {

using zelt_io::Arg;
using zelt_io::Call;

[[noreturn]] void fail(std::string_view input, const std::string &why) {
    std::fprintf(stderr, "parse_call of %zu bytes: %s\n", input.size(), why.c_str());
    std::abort();
}

template <class... F> struct Overloaded : F... { using F::operator()...; };
template <class... F> Overloaded(F...) -> Overloaded<F...>; // clang 14 deduces no aggregates

// ARG as zelt-io makes it a value; an integer past 62 bits raises RangeError.
zl_value value_of(const Arg &arg) {
    return std::visit(Overloaded{
                          [](zelt_io::Nil) { return ZL_NIL; },
                          [](bool b) { return zl_bool(b); },
                          [](int64_t n) { return zelt::integer(n); },
                          [](double d) { return zelt::flt(d); },
                          [](const std::string &s) { return zelt::str(s); },
                      },
                      arg);
}

// ARG written back as the runtime inspects the value zelt-io makes of it,
// which must read back as it was. An integer past the 62 bits of a value is
// refused with RangeError, and written back as the number.
std::string canonical(std::string_view input, const Arg &arg) {
    try {
        zl_value v = value_of(arg);
        std::string text = zelt::inspect(v);
        zelt::release(v);
        return text;
    } catch (const zelt::Error &e) {
        const int64_t *n = std::get_if<int64_t>(&arg);
        const bool too_big = n && (*n >= (int64_t{1} << 61) || *n < -(int64_t{1} << 61));
        if (!too_big || e.class_name() != "RangeError")
            fail(input, std::string("value: ") + e.what());
        return std::to_string(*n);
    }
}

std::string canonical(std::string_view input, const Call &call) {
    std::string out = call.name + "(";
    for (std::size_t i = 0; i < call.args.size(); ++i)
        out += (i ? ", " : "") + canonical(input, call.args[i]);
    return out + ")";
}

// Equal as written: floats compare bit for bit, so NaN matches itself and -0.0 is not 0.0.
bool same(const Call &a, const Call &b) {
    if (a.name != b.name || a.args.size() != b.args.size()) return false;
    for (std::size_t i = 0; i < a.args.size(); ++i) {
        const double *x = std::get_if<double>(&a.args[i]), *y = std::get_if<double>(&b.args[i]);
        if (x && y ? std::bit_cast<uint64_t>(*x) != std::bit_cast<uint64_t>(*y)
                   : a.args[i] != b.args[i])
            return false;
    }
    return true;
}

bool valid_name(const std::string &name) {
    auto alpha = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    auto word = [&](char c) { return alpha(c) || (c >= '0' && c <= '9'); };
    if (name.empty() || !alpha(name[0])) return false;
    std::size_t end = name.size();
    if (name.back() == '?' || name.back() == '!') --end;
    for (std::size_t i = 1; i < end; ++i)
        if (!word(name[i])) return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    Call call;
    try {
        call = zelt_io::parse_call(input);
    } catch (const zelt_io::ParseError &e) {
        if (e.offset() > size)
            fail(input, "an error offset past the end: " + std::string(e.what()));
        if (std::string(e.what()).empty()) fail(input, "an error without a message");
        return 0;
    }
    if (!valid_name(call.name)) fail(input, "accepted the method name \"" + call.name + "\"");
    const std::string text = canonical(input, call);
    try {
        if (!same(zelt_io::parse_call(text), call)) fail(input, "reads back differently: " + text);
    } catch (const zelt_io::ParseError &e) {
        fail(input, "its canonical form " + text + " does not parse: " + e.what());
    }
    return 0;
}
