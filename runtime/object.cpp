// object.cpp: the value encoding, heap objects and the registry that keeps them.
#include "internal.hpp"

#include <mutex> // std::lock_guard over the registry's lock

namespace zelt {
namespace rt {
namespace {

constexpr int64_t kIntMax = (int64_t{1} << 61) - 1; // what 2n+1 holds in 63 bits
constexpr int64_t kIntMin = -(int64_t{1} << 61);

// Every live heap object, reachable from here until it is released. Nothing
// is freed at exit: threads still inside calls may read records and classes
// while the process ends, and their descriptors go with it. Two circular
// lists through the objects' own links: streams apart, for a fork to find
// their buffers. Under the lock: a few stores, no allocation. A fork from a
// signal handler that interrupted a link or unlink walks the streams forward:
// each step below leaves the forward chain whole (the signal fences keep the
// compiler to that order).
struct Registry {
    OwnedLock lock{"the object registry"};
    Link objects, streams;
    Registry() {
        objects.prev = objects.next = &objects;
        streams.prev = streams.next = &streams;
    }
};

Registry &registry() {
    static auto *r = new Registry; // never destroyed
    return *r;
}

Link *link_of(zl_object *o) {
    switch (static_cast<Type>(o->flags)) {
    case Type::Class: return &reinterpret_cast<Class *>(o)->link;
    case Type::Float: return &reinterpret_cast<Float *>(o)->link;
    case Type::String: return &reinterpret_cast<String *>(o)->link;
    case Type::Array: return &reinterpret_cast<Array *>(o)->link;
    case Type::Data: return &reinterpret_cast<Data *>(o)->link;
    case Type::IO: return &reinterpret_cast<Record *>(reinterpret_cast<zl_io *>(o)->record)->link;
    }
    return nullptr;
}

} // namespace

OwnedLock &registry_lock() { return registry().lock; }

zl_value track(zl_object *o) {
    Registry &r = registry();
    Link *l = link_of(o);
    Link *head = static_cast<Type>(o->flags) == Type::IO ? &r.streams : &r.objects;
    l->object = o;
    std::lock_guard lock(r.lock);
    l->prev = head;
    l->next = head->next;
    head->next->prev = l;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    head->next = l; // now on the forward chain
    return word_of(o);
}

void untrack(zl_object *o) {
    Link *l = link_of(o);
    std::lock_guard lock(registry().lock);
    l->prev->next = l->next; // off the forward chain
    std::atomic_signal_fence(std::memory_order_seq_cst);
    l->next->prev = l->prev;
}

void for_each_stream(void (*fn)(Record *)) {
    Link *head = &registry().streams;
    for (Link *l = head->next; l != head; l = l->next)
        fn(reinterpret_cast<Record *>(reinterpret_cast<zl_io *>(l->object)->record));
}

void destroy(zl_object *o) {
    switch (static_cast<Type>(o->flags)) {
    case Type::Class: {
        delete reinterpret_cast<Class *>(o); // and its methods
        break;
    }
    case Type::Float: delete reinterpret_cast<Float *>(o); break;
    case Type::String: delete reinterpret_cast<String *>(o); break;
    case Type::Array: delete reinterpret_cast<Array *>(o); break; // not the values it holds
    case Type::Data: {
        auto *d = reinterpret_cast<Data *>(o);
        if (d->type->free_fn) d->type->free_fn(d->ptr); // the extension's data, as it asked
        delete d;
        break;
    }
    case Type::IO: {
        auto *block = reinterpret_cast<IoObject *>(o); // the object is the block's first member
        close_for_release(&block->record);
        delete block;
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
    return track(&(new Float{{static_cast<zl_value>(Type::Float), cFloat}, {}, d})->header);
}

zl_value str(std::string_view s) {
    return track(
        &(new String{{static_cast<zl_value>(Type::String), cString}, {}, std::string(s)})->header);
}

// A String kept for the runtime's life: its release does nothing, as a
// class's does not.
zl_value rt::permanent_str(std::string_view s) {
    auto *o = new String{{static_cast<zl_value>(Type::String), cString}, {}, std::string(s), true};
    return track(&o->header);
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
    if (type_of_heap(v) == Type::String && as<String>(v)->permanent) return; // so do event words
    auto *o = as<zl_object>(v);
    untrack(o);
    destroy(o);
}

} // namespace zelt
