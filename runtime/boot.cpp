// boot.cpp: the classes every program starts with, made when libzelt loads.
#include "internal.hpp"

using namespace zelt::rt;

extern "C" {
ZL_API zl_value zl_cIO;
ZL_API zl_value zl_cArray;
}

namespace {

struct Builtin {
    zl_value *klass;
    const char *name;
    const zl_value *super;
};

// In the order made: each class's superclass comes before it.
const Builtin kBuiltins[] = {
    {&cNilClass, "NilClass", &cObject},
    {&cTrueClass, "TrueClass", &cObject},
    {&cFalseClass, "FalseClass", &cObject},
    {&cInteger, "Integer", &cObject},
    {&cFloat, "Float", &cObject},
    {&cString, "String", &cObject},
    {&zl_cIO, "IO", &cObject},
    {&zl_cArray, "Array", &cObject},
    {&cException, "Exception", &cObject},
    {&eArgumentError, "ArgumentError", &cException},
    {&eTypeError, "TypeError", &cException},
    {&eRangeError, "RangeError", &cException},
    {&eIOError, "IOError", &cException},
    {&eSystemCallError, "SystemCallError", &cException},
    {&eNoMethodError, "NoMethodError", &cException},
    {&eLoadError, "LoadError", &cException},
};

[[gnu::constructor]] void boot() {
    cClass = make_class("Class", nullptr); // its own header's class is fixed below
    as_class(cClass)->header.klass = cClass;
    cObject = make_class("Object", nullptr);
    as_class(cClass)->super = as_class(cObject);
    for (const Builtin &b : kBuiltins) *b.klass = make_class(b.name, as_class(*b.super));
    define_io_methods();
}

} // namespace
