// message_text.cpp: escaping for the messages zelt-io prints.
#include "message_text.hpp"

#include <cstdio> // snprintf

namespace zelt_io {
namespace {

// The length of the well-formed UTF-8 character of two to four bytes at the
// front of S, or 0: no overlong form, no surrogate, nothing past U+10FFFF.
std::size_t utf8_length(std::string_view s) {
    const auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(0);
    const std::size_t n = c >= 0xc2 && c <= 0xdf   ? 2
                          : c >= 0xe0 && c <= 0xef ? 3
                          : c >= 0xf0 && c <= 0xf4 ? 4
                                                   : 0;
    if (n == 0 || s.size() < n) return 0;
    // the second byte's range narrows after E0, ED, F0 and F4
    const unsigned char lo = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
    const unsigned char hi = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
    if (at(1) < lo || at(1) > hi) return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (at(k) < 0x80 || at(k) > 0xbf) return 0;
    return n;
}

std::string escaped(std::string_view text, bool quotes) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) { // a whole UTF-8 character as it is
            if (const std::size_t n = utf8_length(text.substr(i))) {
                out.append(text, i, n);
                i += n - 1;
                continue;
            }
        }
        switch (c) {
        case '"':
        case '\\':
            if (quotes) out += '\\'; // quoted: a quote or backslash is escaped
            out += text[i];
            break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case 0x1b: out += "\\e"; break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

} // namespace

std::string quoted(std::string_view text) { return '"' + escaped(text, true) + '"'; }

std::string one_line(std::string_view text) { return escaped(text, false); }

} // namespace zelt_io
