// The CALL parser: what it accepts and how, what it refuses and where, and
// that no input makes it fail any other way.
#include "call_parser.hpp"

#include <gtest/gtest.h> // TEST_P, EXPECT_*

#include <cmath>   // isnan, isinf
#include <limits>  // int64 limits, infinity
#include <ostream> // PrintTo

namespace {

using zelt_io::Arg;
using zelt_io::Call;
using zelt_io::Nil;
using zelt_io::parse_call;
using zelt_io::ParseError;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Valid {
    const char *text;
    Call call;
};

const Valid kValid[] = {
    {"nread", {"nread", {}}},
    {"ready?", {"ready?", {}}},
    {"close!", {"close!", {}}},
    {"_x9", {"_x9", {}}},
    {"wait()", {"wait", {}}},
    {" \twait ( 2.5 ) \t", {"wait", {2.5}}},
    {"wait(0)", {"wait", {std::int64_t{0}}}},
    {"wait(-3)", {"wait", {std::int64_t{-3}}}},
    {"wait(+3)", {"wait", {std::int64_t{3}}}},
    {"wait(007)", {"wait", {std::int64_t{7}}}},
    {"wait(9223372036854775807)", {"wait", {std::numeric_limits<std::int64_t>::max()}}},
    {"wait(-9223372036854775808)", {"wait", {std::numeric_limits<std::int64_t>::min()}}},
    {"wait(2.0)", {"wait", {2.0}}}, // a float, though whole
    {"wait(1e3)", {"wait", {1000.0}}},
    {"wait(-1.5E-3)", {"wait", {-0.0015}}},
    {"wait(1e300)", {"wait", {1e300}}},
    {"wait(1e-400)", {"wait", {0.0}}}, // below the least double: zero, as strtod gives
    {"wait(-1e-400)", {"wait", {-0.0}}},
    {"wait(3e-320)", {"wait", {3e-320}}}, // a subnormal
    {"wait(1e400)", {"wait", {kInf}}},    // above the greatest double: infinity, as strtod gives
    {"wait(-1e999)", {"wait", {-kInf}}},
    {"wait(Infinity)", {"wait", {kInf}}},
    {"wait(-Infinity)", {"wait", {-kInf}}},
    {"wait(nil)", {"wait", {Nil{}}}},
    {"f(true,false)", {"f", {true, false}}},
    {"f(1,\t2.5 , nil,\"s, t\")", {"f", {std::int64_t{1}, 2.5, Nil{}, std::string("s, t")}}},
    {R"(f(""))", {"f", {std::string()}}},
    {R"(f("(),"))", {"f", {std::string("(),")}}},
    {R"(f("a\nb\tc\rd\\e\"f"))", {"f", {std::string("a\nb\tc\rd\\e\"f")}}},
    {R"(f("\e\x41\xfF"))",
     {"f",
      {std::string("\x1b"
                   "A\xff")}}},
    {"f(\"raw\x01\xff bytes\")", {"f", {std::string("raw\x01\xff bytes")}}},
};

void PrintTo(const Valid &v, std::ostream *os) {
    *os << testing::PrintToString(std::string(v.text));
}

class ValidCall : public testing::TestWithParam<Valid> {};

TEST_P(ValidCall, ParsesToItsNameAndArguments) {
    EXPECT_EQ(parse_call(GetParam().text), GetParam().call);
}

INSTANTIATE_TEST_SUITE_P(Table, ValidCall, testing::ValuesIn(kValid));

TEST(CallParser, NaNIsAFloat) { // NaN equals nothing, so not in the table
    Call c = parse_call("wait(NaN)");
    ASSERT_EQ(c.args.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<double>(c.args[0]));
    EXPECT_TRUE(std::isnan(std::get<double>(c.args[0])));
}

struct Malformed {
    const char *text;
    std::size_t offset; // where the error is reported
};

const Malformed kMalformed[] = {
    {"", 0},
    {"   ", 3},
    {"(1)", 0},
    {"9lives", 0},
    {"a-b", 1},
    {"ready??", 6},
    {"ready?x", 6},
    {"nread\n", 5},
    {"wait 1", 5},
    {"wait(", 5},
    {"wait(1", 6},
    {"wait(1,)", 7},
    {"wait(,1)", 5},
    {"wait)", 4},
    {"wait(1))", 7},
    {"wait(1 2)", 7},
    {"wait(1)(2)", 7},
    {"wait(9223372036854775808)", 5}, // one past the largest
    {"wait(-9223372036854775809)", 5},
    {"wait(99999999999999999999999999)", 5},
    {"wait(1.)", 7},
    {"wait(.5)", 5},
    {"wait(1e)", 7},
    {"wait(1e+)", 8},
    {"wait(--1)", 6},
    {"wait(-)", 6},
    {"wait(+NaN)", 6},
    {"wait(0x10)", 6},
    {"wait(1_000)", 6},
    {"wait(1.5.2)", 8},
    {"wait(soon)", 5},
    {"wait(Nil)", 5},
    {"wait(nilly)", 5},
    {"wait(Infinityx)", 5},
    {R"(wait("abc))", 5},
    {R"(wait("abc\"))", 5},
    {R"(wait("\q"))", 6},
    {R"(wait("\x4"))", 6},
    {R"(wait("\xg0"))", 6},
    {"wait(\"\\", 5},
    {"wait(\"a\"b)", 8},
};

void PrintTo(const Malformed &m, std::ostream *os) {
    *os << testing::PrintToString(std::string(m.text));
}

class MalformedCall : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedCall, IsRefusedWhereItGoesWrong) {
    try {
        Call c = parse_call(GetParam().text);
        ADD_FAILURE() << "parsed as " << c.name << " with " << c.args.size() << " arguments";
    } catch (const ParseError &e) {
        EXPECT_EQ(e.offset(), GetParam().offset) << e.what();
        EXPECT_NE(std::string(e.what()).find("column " + std::to_string(GetParam().offset + 1)),
                  std::string::npos)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedCall, testing::ValuesIn(kMalformed));

// Parses TEXT, which must either succeed or throw ParseError: anything
// else (another exception, or under the sanitizers a stray read) fails.
void parse_or_refuse(const std::string &text) {
    try {
        (void)parse_call(text);
    } catch (const ParseError &) {
    }
}

// Every cut-off and every byte swapped for one that means something to
// the parser, over every input of both tables.
TEST(CallParser, ParsesOrRefusesEveryPrefixAndMutation) {
    std::vector<std::string> seeds;
    for (const Valid &v : kValid) seeds.emplace_back(v.text);
    for (const Malformed &m : kMalformed) seeds.emplace_back(m.text);
    const std::string specials("\0\"\\(),.eEx+-9 \xff?", 16);
    for (const std::string &seed : seeds) {
        for (std::size_t cut = 0; cut <= seed.size(); ++cut)
            EXPECT_NO_THROW(parse_or_refuse(seed.substr(0, cut)));
        for (std::size_t i = 0; i < seed.size(); ++i) {
            for (char c : specials) {
                std::string mutated = seed;
                mutated[i] = c;
                EXPECT_NO_THROW(parse_or_refuse(mutated)) << testing::PrintToString(mutated);
            }
        }
    }
}

} // namespace
