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

std::string inspect_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case 0x1b: out += "\\e"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
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
    case Type::IO: {
        auto *r = reinterpret_cast<Record *>(zl_io_record(v));
        return r->closed() ? "#<IO:(closed)>" : "#<IO:fd " + std::to_string(r->pub.fd) + ">";
    }
    }
    return "#<object>";
}

} // namespace zelt
