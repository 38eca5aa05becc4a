// call_parser.hpp: the CALL syntax of zelt-io, `NAME` or `NAME(ARG, ...)`.
//
// An ARG is an integer, a float, nil, true, false or a double-quoted string.
// The parser works on any bytes: it returns a Call or throws ParseError,
// never reads outside its input and runs in time linear in its length.
#pragma once

#include <cstddef>     // size_t
#include <cstdint>     // int64_t
#include <stdexcept>   // std::runtime_error
#include <string>      // names, string arguments
#include <string_view> // the text parsed
#include <variant>     // Arg
#include <vector>      // Call::args

namespace zelt_io {

struct Nil {
    bool operator==(const Nil &) const = default;
};

// One argument as written: nil, true/false, an integer, a float or a string.
using Arg = std::variant<Nil, bool, std::int64_t, double, std::string>;

struct Call {
    std::string name;
    std::vector<Arg> args;
    bool operator==(const Call &) const = default;
};

// What is wrong with a CALL and where (a 0-based byte offset into it).
class ParseError : public std::runtime_error {
public:
    ParseError(const std::string &what, std::size_t offset)
        : std::runtime_error(what), offset_(offset) {}
    std::size_t offset() const noexcept { return offset_; }

private:
    std::size_t offset_;
};

// Parse TEXT as one CALL. Blanks (spaces and tabs) may surround the name,
// the parentheses, the arguments and the commas. Integers are decimal and
// must fit 64 bits; floats need digits on both sides of the point or an
// exponent (2.5, 1e3), and Infinity, -Infinity and NaN are floats too. A
// float beyond a double's range rounds to the nearest double as strtod
// rounds it: 1e-400 is 0, 1e400 is Infinity.
// Strings take the escapes \n \t \r \e \\ \" and \xHH.
Call parse_call(std::string_view text);

} // namespace zelt_io
