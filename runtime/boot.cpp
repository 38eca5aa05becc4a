// boot.cpp: the classes every program starts with, made when libzelt loads.
#include "internal.hpp"

using namespace zelt::rt;

extern "C" {
ZL_API zl_value zl_cIO;
}

namespace {

[[gnu::constructor]] void boot() {
    cClass = make_class("Class", nullptr); // its own header's class is fixed below
    as_class(cClass)->header.klass = cClass;
    cObject = make_class("Object", nullptr);
    as_class(cClass)->super = as_class(cObject);
    Class *object = as_class(cObject);
    cNilClass = make_class("NilClass", object);
    cTrueClass = make_class("TrueClass", object);
    cFalseClass = make_class("FalseClass", object);
    cInteger = make_class("Integer", object);
    cFloat = make_class("Float", object);
    cString = make_class("String", object);
    zl_cIO = make_class("IO", object);

    cException = make_class("Exception", object);
    Class *exception = as_class(cException);
    eArgumentError = make_class("ArgumentError", exception);
    eTypeError = make_class("TypeError", exception);
    eRangeError = make_class("RangeError", exception);
    eIOError = make_class("IOError", exception);
    eSystemCallError = make_class("SystemCallError", exception);
    eNoMethodError = make_class("NoMethodError", exception);
    eLoadError = make_class("LoadError", exception);

    define_io_methods();
}

} // namespace
