// inspect.cpp: how a value prints.
#include "internal.hpp"

#include <charconv> // to_chars: the shortest text that reads back the same double
#include <cmath>    // isnan, isinf
#include <cstdio>   // snprintf

namespace zelt {
namespace {

std::string inspect_float(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d < 0 ? "-Infinity" : "Infinity";
    char buf[64];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    std::string out(buf, end);
    if (out.find_first_of(".en") == std::string::npos) out += ".0"; // 2.0, not 2
    return out;
}

// The length of the well-formed UTF-8 sequence of two to four bytes at
// S[I], or 0: no overlong form, no surrogate, nothing past U+10FFFF.
std::size_t utf8_length(const std::string &s, std::size_t i) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const unsigned char c = at(0);
    const std::size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                          : c >= 0xe0 && c <= 0xef ? 3
                          : c >= 0xf0 && c <= 0xf4 ? 4
                                                   : 0;
    if (n == 0 || s.size() - i < n) return 0;
    // the second byte's range narrows after E0, ED, F0 and F4
    const unsigned char lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (at(1) < lo || at(1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (at(k) < 0x80 || at(k) > 0xbf) return 0;
    return n;
}

void append_hex(std::string &out, unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
}

std::string inspect_string(const std::string &s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) { // a whole UTF-8 character as it is, any other byte as \xHH
            const std::size_t n = utf8_length(s, i);
            if (n == 0) append_hex(out, c);
            out.append(s, i, n);
            i += n ? n - 1 : 0;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case 0x1b: out += "\\e"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                append_hex(out, c);
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

} // namespace

std::string inspect(zl_value v) {
    using namespace rt;
    if (is_integer(v)) return std::to_string(static_cast<int64_t>(v) >> 1);
    switch (v) {
    case ZL_FALSE: return "false";
    case ZL_TRUE: return "true";
    case ZL_NIL: return "nil";
    default: break;
    }
    if (!is_heap(v)) return "#<invalid value>";
    switch (type_of_heap(v)) {
    case Type::Class: return as<Class>(v)->name;
    case Type::Float: return inspect_float(as<Float>(v)->value);
    case Type::String: return inspect_string(as<String>(v)->value);
    case Type::Array: {
        std::string out = "[";
        for (zl_value e : as<Array>(v)->values) out += (out.size() > 1 ? ", " : "") + inspect(e);
        return out + "]";
    }
    case Type::Data: return "#<" + as<Class>(as<zl_object>(v)->klass)->name + ">";
    case Type::IO: {
        auto *r = reinterpret_cast<Record *>(zl_io_record(v));
        return r->closed() ? "#<IO:(closed)>" : "#<IO:fd " + std::to_string(r->pub.fd) + ">";
    }
    }
    return "#<object>";
}

} // namespace zelt
