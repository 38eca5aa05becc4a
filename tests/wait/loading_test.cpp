// loading_test.cpp: what loading the extension adds to the classes, and
// nothing more. Its own executable, so that it sees the classes before the load.
#include "kernel.hpp" // zt::require_wait

#include <zelt/embed.hpp> // zelt::methods_of, zelt::class_named, zelt::require

#include <gtest/gtest.h>

#include <map>     // methods by class
#include <set>     // a class's methods, in no particular order
#include <string>  // method names
#include <utility> // name and arity

namespace {

// A class's methods with their arities, as a set: the order of the runtime's
// table is its own business. A multiset, so that a method defined twice shows.
using Methods = std::multiset<std::pair<std::string, int>>;

Methods methods(zl_value klass) {
    Methods out;
    for (const zelt::MethodInfo &m : zelt::methods_of(klass)) out.emplace(m.name, m.arity);
    return out;
}

// Every class the runtime starts with, and its methods.
std::map<std::string, Methods> every_class() {
    std::map<std::string, Methods> out;
    for (const char *name :
         {"Object", "Class", "NilClass", "TrueClass", "FalseClass", "Integer", "Float", "String",
          "IO", "Exception", "ArgumentError", "TypeError", "RangeError", "IOError",
          "SystemCallError", "NoMethodError", "LoadError"}) {
        zl_value klass = zelt::class_named(name);
        EXPECT_NE(klass, ZL_NIL) << name;
        if (klass != ZL_NIL) out[name] = methods(klass);
    }
    return out;
}

TEST(Loading, AddsNreadReadyAndWaitToIoAndNothingElse) {
    const Methods runtime_io = {{"gets", 0},   {"read", -1}, {"close", 0}, {"closed?", 0},
                                {"fileno", 0}, {"eof?", 0},  {"write", 1}, {"flush", 0},
                                {"sync", 0},   {"sync=", 1}};
    ASSERT_EQ(methods(zl_cIO), runtime_io)
        << "the IO class must start with the runtime's methods only";
    std::map<std::string, Methods> before = every_class();

    zt::require_wait();

    Methods io = runtime_io;
    io.insert({{"nread", 0}, {"ready?", 0}, {"wait", -1}});
    EXPECT_EQ(methods(zl_cIO), io);
    std::map<std::string, Methods> expected = before;
    expected["IO"] = io;
    EXPECT_EQ(every_class(), expected);

    EXPECT_FALSE(zelt::require("wait")) << "a second load does nothing";
    EXPECT_EQ(methods(zl_cIO), io);
}

} // namespace
