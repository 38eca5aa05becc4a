// call_parser.cpp: a hand-written, single-pass parser for zelt-io's CALLs.
#include "call_parser.hpp"

#include <charconv>     // from_chars: exact, locale-free, reports overflow
#include <cstdio>       // snprintf
#include <cstdlib>      // strtod: the value a float too small for from_chars underflows to
#include <limits>       // infinity, quiet_NaN
#include <system_error> // errc

namespace zelt_io {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_word(char c) { return is_alpha(c) || is_digit(c); }

int hex_value(char c) {
    if (is_digit(c)) return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// How a byte reads in a message: 'x', or \xHH for what does not print.
std::string describe(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7f) return std::string("'") + c + "'";
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", u);
    return hex;
}

// A literal out of a double's range, rounded as strtod rounds it: the tiny
// value or signed zero it underflows to, or the infinity it overflows to
// (zelt-io keeps the C locale, so its point is '.').
double out_of_range_value(const std::string &literal) {
    return std::strtod(literal.c_str(), nullptr);
}

class Parser {
public:
    explicit Parser(std::string_view text) : text_(text) {}

    Call call() {
        Call c;
        skip_blanks();
        c.name = name();
        skip_blanks();
        if (accept('(')) c.args = arguments();
        skip_blanks();
        if (!at_end()) fail("unexpected " + describe(peek()) + " after the call");
        return c;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;

    bool at_end() const { return pos_ >= text_.size(); }
    char peek() const { return at_end() ? '\0' : text_[pos_]; }
    bool accept(char c) {
        if (at_end() || text_[pos_] != c) return false;
        ++pos_;
        return true;
    }
    void skip_blanks() {
        while (!at_end() && is_blank(text_[pos_])) ++pos_;
    }
    bool accept_word(std::string_view w) { // W, not followed by more of a word
        if (text_.substr(pos_, w.size()) != w) return false;
        if (pos_ + w.size() < text_.size() && is_word(text_[pos_ + w.size()])) return false;
        pos_ += w.size();
        return true;
    }
    [[noreturn]] void fail(const std::string &what) const { fail_at(what, pos_); }
    [[noreturn]] void fail_at(const std::string &what, std::size_t at) const {
        throw ParseError(what + " at column " + std::to_string(at + 1), at);
    }
    std::string found() const { return at_end() ? "the end" : describe(peek()); }

    std::string name() {
        const std::size_t start = pos_;
        if (!is_alpha(peek())) fail("expected a method name, found " + found());
        while (!at_end() && is_word(text_[pos_])) ++pos_;
        if (peek() == '?' || peek() == '!') ++pos_;
        return std::string(text_.substr(start, pos_ - start));
    }

    // After '(': nothing then ')', or ARG (',' ARG)* then ')'.
    std::vector<Arg> arguments() {
        std::vector<Arg> args;
        skip_blanks();
        if (accept(')')) return args;
        if (at_end()) fail("expected an argument or ')', found the end");
        for (;;) {
            skip_blanks();
            args.push_back(argument());
            skip_blanks();
            if (accept(')')) return args;
            if (!accept(',')) fail("expected ',' or ')' after an argument, found " + found());
        }
    }

    Arg argument() {
        const char c = peek();
        if (c == '"') return string();
        if (is_digit(c) || c == '-' || c == '+') return number();
        if (accept_word("nil")) return Nil{};
        if (accept_word("true")) return true;
        if (accept_word("false")) return false;
        if (accept_word("NaN")) return std::numeric_limits<double>::quiet_NaN();
        if (accept_word("Infinity")) return std::numeric_limits<double>::infinity();
        if (is_alpha(c)) {
            const std::size_t start = pos_;
            while (!at_end() && is_word(text_[pos_])) ++pos_;
            fail_at("unknown word \"" + std::string(text_.substr(start, pos_ - start)) +
                        "\" (strings take double quotes)",
                    start);
        }
        fail("expected an argument, found " + found());
    }

    std::size_t digits() {
        const std::size_t start = pos_;
        while (!at_end() && is_digit(text_[pos_])) ++pos_;
        return pos_ - start;
    }

    // [+-] digits [. digits] [eE [+-] digits], or [+-]Infinity.
    Arg number() {
        const std::size_t start = pos_;
        const bool negative = peek() == '-';
        if (negative || peek() == '+') ++pos_;
        if (accept_word("Infinity"))
            return negative ? -std::numeric_limits<double>::infinity()
                            : std::numeric_limits<double>::infinity();
        if (digits() == 0) fail("expected a digit, found " + found());
        bool is_float = false;
        if (accept('.')) {
            if (digits() == 0) fail("expected a digit after the point, found " + found());
            is_float = true;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '-' || peek() == '+') ++pos_;
            if (digits() == 0) fail("expected a digit in the exponent, found " + found());
            is_float = true;
        }
        // from_chars takes a '-' but no '+'
        const std::size_t from = text_[start] == '+' ? start + 1 : start;
        const char *first = text_.data() + from, *last = text_.data() + pos_;
        const std::string literal(text_.substr(start, pos_ - start));
        if (is_float) {
            double d = 0;
            auto [end, ec] = std::from_chars(first, last, d);
            if (ec == std::errc::result_out_of_range) d = out_of_range_value(literal);
            if ((ec != std::errc() && ec != std::errc::result_out_of_range) || end != last)
                fail_at("malformed float: " + literal, start);
            return d;
        }
        std::int64_t n = 0;
        auto [end, ec] = std::from_chars(first, last, n);
        if (ec == std::errc::result_out_of_range)
            fail_at("integer out of range: " + literal, start);
        if (ec != std::errc() || end != last) fail_at("malformed integer: " + literal, start);
        return n;
    }

    std::string string() {
        const std::size_t start = pos_;
        ++pos_; // the opening quote
        std::string out;
        for (;;) {
            if (at_end()) fail_at("unterminated string", start);
            const char c = text_[pos_++];
            if (c == '"') return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_end()) fail_at("unterminated string", start);
            out += escape(text_[pos_++]);
        }
    }

    // The byte that backslash-E stands for; pos_ is just past E.
    char escape(char e) {
        switch (e) {
        case 'n': return '\n';
        case 't': return '\t';
        case 'r': return '\r';
        case 'e': return '\x1b';
        case '\\': return '\\';
        case '"': return '"';
        case 'x': {
            const int hi = hex_value(peek());
            const int lo = hi < 0 || pos_ + 1 >= text_.size() ? -1 : hex_value(text_[pos_ + 1]);
            if (lo < 0) fail_at("\\x takes two hex digits", pos_ - 2);
            pos_ += 2;
            return static_cast<char>(hi * 16 + lo);
        }
        default: fail_at("unknown escape " + describe(e) + " after a backslash", pos_ - 2);
        }
    }
};

} // namespace

Call parse_call(std::string_view text) { return Parser(text).call(); }

} // namespace zelt_io
