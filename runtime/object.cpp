// object.cpp: the value encoding, heap objects and the registry that keeps them.
#include "internal.hpp"

#include <mutex>         // the registry is shared by all threads
#include <unordered_set> // live heap objects

namespace zelt {
namespace rt {
namespace {

constexpr int64_t kIntMax = (int64_t{1} << 61) - 1; // what 2n+1 holds in 63 bits
constexpr int64_t kIntMin = -(int64_t{1} << 61);

// Every live heap object, reachable from here until it is released. Nothing
// is freed at exit: threads still inside calls may read records and classes
// while the process ends, and their descriptors go with it.
struct Registry {
    std::mutex mu;
    std::unordered_set<zl_object *> live;
};

Registry &registry() {
    static auto *r = new Registry; // never destroyed
    return *r;
}

} // namespace

zl_value track(zl_object *o) {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    r.live.insert(o);
    return word_of(o);
}

void untrack(zl_object *o) {
    Registry &r = registry();
    std::lock_guard lock(r.mu);
    r.live.erase(o);
}

void destroy(zl_object *o) {
    switch (static_cast<Type>(o->flags)) {
    case Type::Class: {
        delete reinterpret_cast<Class *>(o); // and its methods
        break;
    }
    case Type::Float: delete reinterpret_cast<Float *>(o); break;
    case Type::String: delete reinterpret_cast<String *>(o); break;
    case Type::IO: {
        auto *io = reinterpret_cast<zl_io *>(o);
        free_record(reinterpret_cast<Record *>(io->record));
        delete io;
        break;
    }
    }
}

} // namespace rt

using namespace rt;

zl_value integer(int64_t n) {
    if (n < kIntMin || n > kIntMax)
        raise(eRangeError, "integer " + std::to_string(n) + " out of range");
    return (static_cast<zl_value>(n) << 1) | 1u;
}

zl_value flt(double d) {
    return track(&(new Float{{static_cast<zl_value>(Type::Float), cFloat}, d})->header);
}

zl_value str(std::string_view s) {
    return track(
        &(new String{{static_cast<zl_value>(Type::String), cString}, std::string(s)})->header);
}

bool is_integer(zl_value v) { return v & 1u; }
bool is_float(zl_value v) { return is_heap_of(v, Type::Float); }
bool is_string(zl_value v) { return is_heap_of(v, Type::String); }
bool is_io(zl_value v) { return is_heap_of(v, Type::IO); }

int64_t integer_value(zl_value v) {
    if (!is_integer(v)) raise(eTypeError, "not an Integer: " + inspect(v));
    return static_cast<int64_t>(v) >> 1; // arithmetic shift keeps the sign
}

double float_value(zl_value v) {
    if (!is_float(v)) raise(eTypeError, "not a Float: " + inspect(v));
    return as<Float>(v)->value;
}

std::string string_value(zl_value v) {
    if (!is_string(v)) raise(eTypeError, "not a String: " + inspect(v));
    return as<String>(v)->value;
}

void release(zl_value v) {
    if (!is_heap(v) || type_of_heap(v) == Type::Class)
        return; // classes live as long as the runtime
    auto *o = as<zl_object>(v);
    untrack(o);
    destroy(o);
}

} // namespace zelt
