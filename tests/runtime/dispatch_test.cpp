// dispatch_test.cpp: method lookup, argument passing and the arity check.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // make_pipe, Io
#include "raised.hpp"     // raised_by

#include <zelt.h>         // zl_define_method, ZL_FUNC
#include <zelt/embed.hpp> // call, intern, class_named, methods_of

#include <algorithm>     // count_if
#include <gtest/gtest.h> // TEST_P
#include <string>        // test names
#include <sys/ioctl.h>   // FIONREAD
#include <vector>        // what a method saw

namespace rt_test {
namespace {

// The receiver and arguments the last test method saw, on this thread.
thread_local std::vector<zl_value> seen;

zl_value arity0(zl_value self) { return seen = {self}, ZL_NIL; }
zl_value arity1(zl_value self, zl_value a) { return seen = {self, a}, ZL_NIL; }
zl_value arity2(zl_value self, zl_value a, zl_value b) { return seen = {self, a, b}, ZL_NIL; }
zl_value arity3(zl_value self, zl_value a, zl_value b, zl_value c) {
    return seen = {self, a, b, c}, ZL_NIL;
}
zl_value arity4(zl_value self, zl_value a, zl_value b, zl_value c, zl_value d) {
    return seen = {self, a, b, c, d}, ZL_NIL;
}
zl_value variadic(int argc, const zl_value *argv, zl_value self) {
    seen = {self};
    seen.insert(seen.end(), argv, argv + argc);
    return ZL_NIL;
}

const zl_func kByArity[] = {ZL_FUNC(arity0), ZL_FUNC(arity1), ZL_FUNC(arity2), ZL_FUNC(arity3),
                            ZL_FUNC(arity4)};

std::string method_name(int arity) {
    return arity < 0 ? "zt_rt_variadic" : "zt_rt_arity" + std::to_string(arity);
}

// Defines the test methods on Object, so that any receiver has them.
void define_test_methods() {
    static const bool defined = [] {
        zl_value object = zelt::class_named("Object");
        for (int arity = 0; arity <= 4; ++arity)
            zl_define_method(object, method_name(arity).c_str(), kByArity[arity], arity);
        zl_define_method(object, method_name(-1).c_str(), ZL_FUNC(variadic), -1);
        return true;
    }();
    (void)defined;
}

struct ArityCase {
    int arity;
    int given;
};

void PrintTo(const ArityCase &c, std::ostream *os) {
    *os << "arity " << c.arity << ", given " << c.given;
}

class Arity : public ::testing::TestWithParam<ArityCase> {
protected:
    static void SetUpTestSuite() { define_test_methods(); }
};

// A matching call passes the receiver and the arguments in order; any
// other count is refused before the method runs.
TEST_P(Arity, PassesArgumentsInOrderOrRefusesTheCount) {
    const ArityCase &c = GetParam();
    const zl_value self = zelt::integer(7);
    const zl_value args[] = {zelt::integer(1), zelt::integer(2), zelt::integer(3), zelt::integer(4),
                             zelt::integer(5)};
    seen.clear();
    Raised r =
        raised_by([&] { zelt::call(self, zelt::intern(method_name(c.arity)), c.given, args); });
    if (c.arity >= 0 && c.given != c.arity) {
        EXPECT_EQ(r.class_name, "ArgumentError");
        const std::string counts =
            "given " + std::to_string(c.given) + ", expected " + std::to_string(c.arity);
        EXPECT_NE(r.message.find(counts), std::string::npos) << r.message;
        EXPECT_TRUE(seen.empty()) << "the method ran";
        return;
    }
    ASSERT_EQ(r.class_name, "") << r.message;
    std::vector<zl_value> want = {self};
    want.insert(want.end(), args, args + c.given);
    EXPECT_EQ(seen, want);
}

// A count below zero, or arguments without their array, is refused before
// any method runs, whatever its arity.
TEST(ArgumentList, RefusedBeforeTheMethodRuns) {
    define_test_methods();
    const zl_value args[] = {zelt::integer(1)};
    for (int arity = -1; arity <= 4; ++arity)
        for (const auto &list : {std::pair<int, const zl_value *>{-1, args}, {1, nullptr}}) {
            const int given = list.first; // named apart: a lambda cannot take a structured binding
            const zl_value *argv = list.second;
            seen.clear();
            Raised r = raised_by([&] {
                zelt::call(zelt::integer(7), zelt::intern(method_name(arity)), given, argv);
            });
            EXPECT_EQ(r.class_name, "ArgumentError") << "arity " << arity << ", given " << given;
            EXPECT_EQ(r.message, "invalid argument list");
            EXPECT_TRUE(seen.empty()) << "the method ran";
        }
}

std::vector<ArityCase> arity_cases() {
    std::vector<ArityCase> cases;
    for (int arity = -1; arity <= 4; ++arity)
        for (int given = 0; given <= 5; ++given) cases.push_back({arity, given});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Runtime, Arity, ::testing::ValuesIn(arity_cases()), [](const auto &info) {
    return (info.param.arity < 0 ? std::string("variadic")
                                 : "arity" + std::to_string(info.param.arity)) +
           "_given" + std::to_string(info.param.given);
});

// ---- unknown methods --------------------------------------------------------------

struct Receiver {
    const char *name;
    zl_value value;
    const char *described; // how the message names the receiver
};

void PrintTo(const Receiver &c, std::ostream *os) { *os << c.name; }

class NoMethod : public ::testing::TestWithParam<Receiver> {};

TEST_P(NoMethod, RaisesNoMethodErrorNamingMethodAndReceiver) {
    Raised r = raised_by([] { zelt::call(GetParam().value, "zt_rt_no_such_method"); });
    EXPECT_EQ(r.class_name, "NoMethodError");
    EXPECT_NE(r.message.find("'zt_rt_no_such_method'"), std::string::npos) << r.message;
    EXPECT_NE(r.message.find(GetParam().described), std::string::npos) << r.message;
}

INSTANTIATE_TEST_SUITE_P(Runtime, NoMethod,
                         ::testing::Values(Receiver{"integer", zelt::integer(5), "5"},
                                           Receiver{"nil", ZL_NIL, "nil"},
                                           Receiver{"false", ZL_FALSE, "false"},
                                           Receiver{"io_class", zl_cIO, "Class"}),
                         ByName());

// A word that encodes no value (even, not 8-aligned, none of false, true,
// nil) is refused, and the message gives the word in hexadecimal.
TEST(NotAValue, RaisesTypeErrorWithTheWordInHex) {
    const struct {
        zl_value word;
        const char *message;
    } words[] = {{0x6, "not a value: 0x6"},
                 {0x1e, "not a value: 0x1e"},
                 {0xffe, "not a value: 0xffe"},
                 {0x7ffffffffffffffeu, "not a value: 0x7ffffffffffffffe"}};
    for (const auto &w : words) {
        Raised r = raised_by([&] { zelt::call(w.word, "zt_rt_no_such_method"); });
        EXPECT_EQ(r.class_name, "TypeError") << w.message;
        EXPECT_EQ(r.message, w.message);
    }
}

TEST(IoDispatch, UnknownMethodOnAnIO) {
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    Raised r = raised_by([&] { zelt::call(io, "zt_rt_no_such_method"); });
    EXPECT_EQ(r.class_name, "NoMethodError");
    EXPECT_NE(r.message.find("IO"), std::string::npos) << r.message;
}

// gets with an argument is refused before it reads: the bytes stay in the kernel.
TEST(IoDispatch, WrongCountOfABuiltInMethodReadsNothing) {
    zt::Ends pipe = zt::make_pipe();
    zt::write_all(pipe.peer.get(), "a\n");
    const int fd = pipe.near.get();
    zt::Io io(std::move(pipe.near));
    Raised r = raised_by([&] { zelt::call(io, "gets", {zelt::integer(1)}); });
    EXPECT_EQ(r.class_name, "ArgumentError");
    EXPECT_NE(r.message.find("given 1, expected 0"), std::string::npos) << r.message;
    int in_kernel = -1;
    ::ioctl(fd, FIONREAD, &in_kernel);
    EXPECT_EQ(in_kernel, 2);
    EXPECT_EQ(zl_io_read_pending(zl_io_record(io)), 0);
}

// ---- where the lookup finds a method on an IO -------------------------------------

// A method of an IO is found by one load when its class defines it under a
// name of the first 256; any other goes the long way. Both check the count
// and pass the receiver alike.
struct LookupCase {
    const char *name;
    bool on_io;     // defined on IO itself, not inherited from Object
    bool late_name; // its name interned after 256 others
};

void PrintTo(const LookupCase &c, std::ostream *os) { *os << c.name; }

class Lookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(Lookup, FindsTheMethodAndChecksItsCount) {
    const LookupCase &c = GetParam();
    if (c.late_name)
        for (int i = 0; i < 300; ++i) zelt::intern("zt_rt_filler_" + std::to_string(i));
    const std::string name = std::string("zt_rt_lookup_") + c.name;
    ASSERT_EQ(c.late_name, zelt::intern(name) >= 256)
        << "the name's id is not where the case needs it";
    zl_define_method(c.on_io ? zl_cIO : zelt::class_named("Object"), name.c_str(), ZL_FUNC(arity0),
                     0);
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    const zl_value one[] = {zelt::integer(1)};
    struct Call {
        int argc;
        const zl_value *argv;
        const char *error; // nullptr: the method runs
    } calls[] = {{0, nullptr, nullptr},
                 {1, one, "wrong number of arguments (given 1, expected 0)"},
                 {1, nullptr, "invalid argument list"},
                 {-1, one, "invalid argument list"}};
    for (const Call &k : calls) {
        seen.clear();
        Raised r = raised_by([&] { zelt::call(io, zelt::intern(name), k.argc, k.argv); });
        if (!k.error) {
            ASSERT_EQ(r.class_name, "") << r.message;
            EXPECT_EQ(seen, std::vector<zl_value>{io.value()});
            continue;
        }
        EXPECT_EQ(r.class_name, "ArgumentError") << "given " << k.argc;
        EXPECT_EQ(r.message, k.error);
        EXPECT_TRUE(seen.empty()) << "the method ran";
    }
}

INSTANTIATE_TEST_SUITE_P(Runtime, Lookup,
                         ::testing::Values(LookupCase{"own", true, false},
                                           LookupCase{"inherited", false, false},
                                           LookupCase{"own_late_name", true, true},
                                           LookupCase{"inherited_late_name", false, true}),
                         ByName());

// ---- defining methods ---------------------------------------------------------------

struct BadDefinition {
    const char *name;
    zl_value klass;
    const char *method;
    zl_func fn;
    int arity;
    const char *error;
};

void PrintTo(const BadDefinition &c, std::ostream *os) { *os << c.name; }

class DefineMethod : public ::testing::TestWithParam<BadDefinition> {};

TEST_P(DefineMethod, RefusesWhatItCannotCall) {
    const BadDefinition &c = GetParam();
    EXPECT_EQ(raised_by([&] { zl_define_method(c.klass, c.method, c.fn, c.arity); }).class_name,
              c.error);
    auto methods = zelt::methods_of(zl_cIO);
    EXPECT_EQ(std::count_if(methods.begin(), methods.end(),
                            [](const auto &m) { return m.name == "zt_rt_refused"; }),
              0);
}

INSTANTIATE_TEST_SUITE_P(
    Runtime, DefineMethod,
    ::testing::Values(
        BadDefinition{"arity_five", zl_cIO, "zt_rt_refused", ZL_FUNC(arity4), 5, "ArgumentError"},
        BadDefinition{"arity_minus_two", zl_cIO, "zt_rt_refused", ZL_FUNC(variadic), -2,
                      "ArgumentError"},
        BadDefinition{"no_function", zl_cIO, "zt_rt_refused", nullptr, 0, "ArgumentError"},
        BadDefinition{"empty_name", zl_cIO, "", ZL_FUNC(arity0), 0, "ArgumentError"},
        BadDefinition{"no_name", zl_cIO, nullptr, ZL_FUNC(arity0), 0, "ArgumentError"},
        BadDefinition{"not_a_class", ZL_NIL, "zt_rt_refused", ZL_FUNC(arity0), 0, "TypeError"}),
    ByName());

zl_value answer_one(zl_value) { return zelt::integer(1); }
zl_value answer_two(zl_value) { return zelt::integer(2); }

TEST(Redefinition, ReplacesTheMethodInPlace) {
    zl_value object = zelt::class_named("Object");
    zl_define_method(object, "zt_rt_redefined", ZL_FUNC(answer_one), 0);
    zl_define_method(object, "zt_rt_redefined", ZL_FUNC(answer_two), 0);
    EXPECT_EQ(zelt::call(ZL_NIL, "zt_rt_redefined"), zelt::integer(2));
    auto methods = zelt::methods_of(object);
    EXPECT_EQ(std::count_if(methods.begin(), methods.end(),
                            [](const auto &m) { return m.name == "zt_rt_redefined"; }),
              1);
}

} // namespace
} // namespace rt_test
