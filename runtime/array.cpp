// array.cpp: the Array class, as far as extensions and embedders use it:
// made empty or from values, appended to, read in order.
#include "internal.hpp"

#include <string> // the refusal's message

namespace zelt {
namespace rt {
namespace {

[[noreturn, gnu::cold, gnu::noinline]] void not_an_array(zl_value v) {
    std::string what =
        is_heap(v) || v <= ZL_NIL || (v & 1u) ? class_name(class_of(v)) : "an invalid value";
    raise(eTypeError, "wrong argument type " + what + " (expected Array)");
}

Array *array_of(zl_value v) {
    if (!is_heap_of(v, Type::Array)) [[unlikely]]
        not_an_array(v);
    return as<Array>(v);
}

} // namespace
} // namespace rt

using namespace rt;

zl_value array(std::vector<zl_value> values) {
    auto *a = new Array{{static_cast<zl_value>(Type::Array), zl_cArray}, {}, std::move(values)};
    return track(&a->header);
}

bool is_array(zl_value v) { return is_heap_of(v, Type::Array); }

std::vector<zl_value> array_values(zl_value v) { return array_of(v)->values; }

} // namespace zelt

extern "C" {

zl_value zl_ary_new(void) { return zelt::array({}); }

zl_value zl_check_array(zl_value ary) {
    zelt::rt::array_of(ary);
    return ary;
}

void zl_ary_push(zl_value ary, zl_value v) { zelt::rt::array_of(ary)->values.push_back(v); }

long zl_ary_len(zl_value ary) { return static_cast<long>(zelt::rt::array_of(ary)->values.size()); }

const zl_value *zl_ary_ptr(zl_value ary) { return zelt::rt::array_of(ary)->values.data(); }

} // extern "C"
