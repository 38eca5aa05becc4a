// taint_check_test.cpp: zl_io_taint_check lets through IO objects only, reading no other memory.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // make_pipe, Io
#include "raised.hpp"     // raised_by, Value

#include <zelt.h>         // zl_io_taint_check
#include <zelt/embed.hpp> // integer, str, flt

#include <gtest/gtest.h> // TEST_P
#include <string>        // test names

namespace rt_test {
namespace {

struct NotAnIo {
    const char *name;
    zl_value (*make)(); // released after the test
    const char *named;  // how the message names what it got
};

void PrintTo(const NotAnIo &c, std::ostream *os) { *os << c.name; }

const NotAnIo kNotIo[] = {
    {"integer", [] { return zelt::integer(3); }, "Integer"},
    {"nil", [] { return ZL_NIL; }, "NilClass"},
    {"true", [] { return ZL_TRUE; }, "TrueClass"},
    {"false", [] { return ZL_FALSE; }, "FalseClass"},
    {"string", [] { return zelt::str("IO"); }, "String"},
    {"float", [] { return zelt::flt(1.5); }, "Float"},
    {"the_io_class", [] { return zl_cIO; }, "Class"},
    {"a_word_that_is_no_value", [] { return zl_value{6}; },
     "invalid"}, // must not be read as a pointer
};

class TaintCheck : public ::testing::TestWithParam<NotAnIo> {};

TEST_P(TaintCheck, RaisesTypeErrorForAnythingButAnIO) {
    Value v(GetParam().make());
    Raised r = raised_by([&] { zl_io_taint_check(v); });
    EXPECT_EQ(r.class_name, "TypeError");
    EXPECT_NE(r.message.find(GetParam().named), std::string::npos) << r.message;
}

INSTANTIATE_TEST_SUITE_P(Runtime, TaintCheck, ::testing::ValuesIn(kNotIo), ByName());

TEST(TaintCheckIo, ReturnsTheIOItselfOpenOrClosed) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    EXPECT_EQ(zl_io_taint_check(io), io.value());
    zelt::call(io, "close");
    EXPECT_EQ(zl_io_taint_check(io),
              io.value()); // closing is the record's business, not the check's
}

} // namespace
} // namespace rt_test
