// data.cpp: classes that extensions define, and their objects, which carry
// the extension's own data and free it when released.
#include "internal.hpp"

#include <string> // the refusals' messages

namespace zelt::rt {
namespace {

[[noreturn, gnu::cold, gnu::noinline]] void not_of_kind(zl_value v, const zl_data_type *type) {
    std::string what =
        is_heap(v) || v <= ZL_NIL || (v & 1u) ? class_name(class_of(v)) : "an invalid value";
    raise(eTypeError, "wrong argument type " + what + " (expected " + type->name + ")");
}

} // namespace
} // namespace zelt::rt

using namespace zelt::rt;

extern "C" {

zl_value zl_define_class(const char *name, zl_value super) {
    if (!name || !*name) raise(eArgumentError, "a class needs a name");
    Class *above = super == ZL_NIL ? as_class(cObject) : as_class(super); // TypeError for others
    if (const zl_value known = zelt::class_named(name); known != ZL_NIL) return known;
    return make_class(name, above);
}

zl_value zl_data_new(zl_value klass, const zl_data_type *type, void *data) {
    as_class(klass); // a class, or TypeError
    if (!type || !type->name) raise(eArgumentError, "an object's data needs its kind");
    auto *d = new Data{{static_cast<zl_value>(Type::Data), klass}, {}, type, data};
    return track(&d->header);
}

void *zl_data_ptr(zl_value obj, const zl_data_type *type) {
    if (!is_heap_of(obj, Type::Data) || as<Data>(obj)->type != type) [[unlikely]]
        not_of_kind(obj, type);
    return as<Data>(obj)->ptr;
}

} // extern "C"
