// dispatch.cpp: classes, their method tables, and calling a method by name.
#include "internal.hpp"

#include <mutex>         // std::lock_guard over the definitions' lock
#include <new>           // align_val_t: a class's own page
#include <unordered_map> // classes by name

namespace zelt {
namespace rt {

zl_value cObject, cClass, cNilClass, cTrueClass, cFalseClass, cInteger, cFloat, cString, cException;

namespace {

// Definitions allocate under the lock, so they run with the asynchronous
// signals blocked (see OwnedLock); a lookup by name only probes.
std::unordered_map<std::string, zl_value> &classes_by_name() { // guarded by define_lock
    static auto *m = new std::unordered_map<std::string, zl_value>;
    return *m;
}

constexpr int kMaxArity = 4;

[[noreturn, gnu::cold, gnu::noinline]] void not_a_class() { raise(eTypeError, "not a class"); }

[[noreturn, gnu::cold, gnu::noinline]] void not_a_value(zl_value v) {
    std::string hex; // the word's digits, most significant first
    for (; hex.empty() || v; v >>= 4u) hex.insert(hex.begin(), "0123456789abcdef"[v & 15u]);
    raise(eTypeError, "not a value: 0x" + hex);
}

// Every call starts here: inline, and no class word is checked again, since
// objects and the built-in globals hold classes by construction.
[[gnu::always_inline]] inline Class *class_ptr(zl_value v) {
    if (is_heap(v)) return as<Class>(as<zl_object>(v)->klass);
    if (v & 1u) return as<Class>(cInteger);
    switch (v) {
    case ZL_FALSE: return as<Class>(cFalseClass);
    case ZL_TRUE: return as<Class>(cTrueClass);
    case ZL_NIL: return as<Class>(cNilClass);
    default: not_a_value(v);
    }
}

// A method of C or of its superclasses.
const Method *find_method(const Class *c, Id id) {
    for (; c; c = c->super) {
        if (id < Class::kIndexed) { // the index holds every such method of the class
            if (const Method *m = c->by_id[id].load(std::memory_order_acquire);
                m != &Class::no_method)
                return m;
            continue;
        }
        std::size_t n = c->count.load(std::memory_order_acquire);
        for (std::size_t i = 0; i < n; ++i)
            if (c->ids[i].load(std::memory_order_relaxed) == id)
                return c->slots[i].load(std::memory_order_acquire);
    }
    return nullptr;
}

[[noreturn, gnu::cold, gnu::noinline]] void no_method(zl_value recv, Id id) {
    raise(eNoMethodError,
          "undefined method '" + std::string(id_name(id)) + "' for " +
              (is_heap(recv) ? "an instance of " + class_name(class_of(recv)) : inspect(recv)));
}

// The argument list refused: a count below zero, arguments with no array,
// or another count than a fixed arity asks for.
[[noreturn, gnu::cold, gnu::noinline]] void bad_arguments(int argc, const zl_value *argv,
                                                          int arity) {
    if (argc < 0 || (argc > 0 && !argv)) raise(eArgumentError, "invalid argument list");
    raise(eArgumentError, "wrong number of arguments (given " + std::to_string(argc) +
                              ", expected " + std::to_string(arity) + ")");
}

[[gnu::always_inline]] inline zl_value invoke(zl_func fn, int arity, zl_value self, int argc,
                                              const zl_value *argv) {
    using F0 = zl_value (*)(zl_value);
    using F1 = zl_value (*)(zl_value, zl_value);
    using F2 = zl_value (*)(zl_value, zl_value, zl_value);
    using F3 = zl_value (*)(zl_value, zl_value, zl_value, zl_value);
    using F4 = zl_value (*)(zl_value, zl_value, zl_value, zl_value, zl_value);
    using FV = zl_value (*)(int, const zl_value *, zl_value);
    // Tested before the switch, whose jump table would add an indirect branch
    // to every call: IO methods almost all take no argument or a list.
    if (arity == 0) [[likely]]
        return reinterpret_cast<F0>(fn)(self);
    if (arity == -1) return reinterpret_cast<FV>(fn)(argc, argv, self);
    switch (arity) {
    case 1: return reinterpret_cast<F1>(fn)(self, argv[0]);
    case 2: return reinterpret_cast<F2>(fn)(self, argv[0], argv[1]);
    case 3: return reinterpret_cast<F3>(fn)(self, argv[0], argv[1], argv[2]);
    default: return reinterpret_cast<F4>(fn)(self, argv[0], argv[1], argv[2], argv[3]);
    }
}

} // namespace

OwnedLock &define_lock() {
    static constinit OwnedLock lock{"the method definitions"};
    return lock;
}

constexpr int kNoArity = -2; // no call's argument count
const Method Class::no_method = {0, kNoArity, nullptr};

Class::Class() {
    for (auto &entry : by_id) entry.store(&no_method, std::memory_order_relaxed);
}

bool Class::owns(const Method *m) const { // by address: M may lie anywhere
    const auto a = reinterpret_cast<uintptr_t>(m), first = reinterpret_cast<uintptr_t>(own.data());
    return a >= first && a < first + sizeof own;
}

// Page-aligned heap memory, not a mapping of its own: leak checkers scan the
// heap, and the methods a class points to must be seen as reachable.
constexpr std::align_val_t kPage{4096};

void *Class::operator new(std::size_t size) { return ::operator new(size, kPage); }

void Class::operator delete(void *p) { ::operator delete(p, kPage); }

Class::~Class() {
    for (std::size_t i = 0; i < count.load(); ++i)
        if (const Method *m = slots[i].load(); !owns(m)) delete m;
}

Class *as_class(zl_value klass) {
    if (!is_heap_of(klass, Type::Class)) not_a_class();
    return as<Class>(klass);
}

zl_value make_class(const char *name, Class *super) {
    auto *c = new Class;
    c->header = {static_cast<zl_value>(Type::Class), cClass};
    c->name = name;
    c->super = super;
    zl_value v = track(&c->header);
    SignalsHeld quiet;
    std::lock_guard lock(define_lock());
    classes_by_name()[name] = v;
    return v;
}

} // namespace rt

using namespace rt;

zl_value class_of(zl_value v) { return word_of(class_ptr(v)); }

std::string class_name(zl_value klass) { return as_class(klass)->name; }

zl_value class_named(std::string_view name) {
    const std::string key(name); // made before the lock: nothing allocates under it
    std::lock_guard lock(define_lock());
    auto it = classes_by_name().find(key);
    return it == classes_by_name().end() ? ZL_NIL : it->second;
}

std::vector<MethodInfo> methods_of(zl_value klass) {
    const Class *c = as_class(klass);
    std::vector<MethodInfo> out;
    std::size_t n = c->count.load(std::memory_order_acquire);
    for (std::size_t i = 0; i < n; ++i) {
        const Method *m = c->slots[i].load(std::memory_order_acquire);
        out.push_back({std::string(id_name(m->id)), m->arity});
    }
    return out;
}

namespace {

Record *record_of(zl_value io) { return reinterpret_cast<Record *>(as<zl_io>(io)->record); }

// The frame of a call on an IO: its record named in the thread's chain while
// the method runs, on the plain path (plain_call: not fenced, room in the
// chain). The method's exception leaves through a rethrow rather than a
// cleanup, so the frame keeps no register for it; the slow way out is a tail
// call that passes the result on. Together: one register saved, no stack.
template <class Method>
[[gnu::always_inline]] inline zl_value in_plain_frame(ThreadCalls *t, Record *r, Method method) {
    enter_plain(t, r); // a close sees it from here on
    zl_value result;
    try {
        result = method();
    } catch (...) {
        leave_call(this_thread, r);
        throw;
    }
    t = this_thread; // read again: cheaper than kept across the call
    if (leave_plain(t, r)) [[unlikely]]
        return leave_fenced_or_closed_with(t, r, result);
    return result;
}

using Method0 = zl_value (*)(zl_value);
using MethodV = zl_value (*)(int, const zl_value *, zl_value);

// A thread's first call, a fenced process and a chain full go the slow way,
// out of line.
[[gnu::noinline, gnu::cold]] zl_value call_on_io0_slow(zl_value recv, zl_func fn) {
    IoCall frame(record_of(recv));
    return reinterpret_cast<Method0>(fn)(recv);
}

[[gnu::noinline, gnu::cold]] zl_value call_on_iov_slow(int argc, const zl_value *argv,
                                                       zl_value recv, zl_func fn) {
    IoCall frame(record_of(recv));
    return reinterpret_cast<MethodV>(fn)(argc, argv, recv);
}

// A method of no arguments, as most of an IO's are. Out of line, so that a
// call on anything else pays for no frame; the record is read here, so that
// the caller passes what the method takes. The first of the runtime's hot
// functions (.text.hot: the dispatch, the frame, the IO checks, the argument
// scan, the time conversion, the wait), and aligned to a page, so that
// together they take one page.
[[gnu::noinline, gnu::hot, gnu::aligned(4096)]] zl_value call_on_io0(zl_value recv, zl_func fn) {
    ThreadCalls *t = this_thread;
    if (!plain_call(t)) [[unlikely]]
        return call_on_io0_slow(recv, fn);
    return in_plain_frame(t, record_of(recv), [&] { return reinterpret_cast<Method0>(fn)(recv); });
}

// A method that takes a list, as an IO's with optional arguments do. Its
// arguments in the method's order, the function last: passed on in place.
[[gnu::noinline, gnu::hot]] zl_value call_on_iov(int argc, const zl_value *argv, zl_value recv,
                                                 zl_func fn) {
    ThreadCalls *t = this_thread;
    if (!plain_call(t)) [[unlikely]]
        return call_on_iov_slow(argc, argv, recv, fn); // its arguments where they came
    return in_plain_frame(t, record_of(recv),
                          [&] { return reinterpret_cast<MethodV>(fn)(argc, argv, recv); });
}

// Any other arity.
[[gnu::noinline]] zl_value call_on_io(zl_value recv, zl_func fn, int arity, int argc,
                                      const zl_value *argv) {
    IoCall frame(record_of(recv));
    return invoke(fn, arity, recv, argc, argv);
}

// Checks the argument count against the method's arity, then calls it.
[[gnu::always_inline]] inline zl_value dispatch(const Method *m, bool io, zl_value recv, int argc,
                                                const zl_value *argv) {
    const int arity = m->arity;
    if ((argc | arity) == 0) [[likely]] // a call with no arguments to a method of none
        return io ? call_on_io0(recv, m->fn) : invoke(m->fn, 0, recv, 0, argv);
    if (argc < 0 || (argc > 0 && !argv) || (arity >= 0 && argc != arity)) [[unlikely]]
        bad_arguments(argc, argv, arity);
    if (!io) return invoke(m->fn, arity, recv, argc, argv);
    if (arity == -1) return call_on_iov(argc, argv, recv, m->fn);
    return call_on_io(recv, m->fn, arity, argc, argv);
}

// Any receiver, any method: immediates, inherited methods, names past the index.
[[gnu::noinline]] zl_value call_general(zl_value recv, Id id, int argc, const zl_value *argv) {
    const Method *m = find_method(class_ptr(recv), id);
    if (!m) no_method(recv, id);
    return dispatch(m, is_heap_of(recv, Type::IO), recv, argc, argv);
}

} // namespace

// The common call, an object's own method with a small name id: a method of
// no arguments on an IO in its frame here, a list on an IO straight to its
// frame, anything else found to the dispatch; the rest goes on to
// call_general.
[[gnu::hot]] zl_value call(zl_value recv, Id id, int argc, const zl_value *argv) {
    if (is_heap(recv) && id < Class::kIndexed) [[likely]] {
        const zl_object *o = as<zl_object>(recv);
        const Method *m = as<Class>(o->klass)->by_id[id].load(std::memory_order_acquire);
        const bool io = static_cast<Type>(o->flags) == Type::IO;
        if ((argc | m->arity) == 0 && io) [[likely]] { // the frame here: no call on to it
            ThreadCalls *t = this_thread;
            if (plain_call(t)) [[likely]]
                return in_plain_frame(t, record_of(recv),
                                      [&] { return reinterpret_cast<Method0>(m->fn)(recv); });
        }
        if (io && m->arity == -1 && (argc > 0 ? argv != nullptr : argc == 0)) // a list: its frame
            return call_on_iov(argc, argv, recv, m->fn);
        if (m != &Class::no_method) [[likely]]
            return dispatch(m, io, recv, argc, argv);
    }
    return call_general(recv, id, argc, argv);
}

zl_value call(zl_value recv, std::string_view name, std::initializer_list<zl_value> args) {
    return call(recv, intern(name), static_cast<int>(args.size()), args.begin());
}

} // namespace zelt

extern "C" void zl_define_method(zl_value klass, const char *name, zl_func func, int arity) {
    using namespace zelt::rt;
    Class *c = as_class(klass);
    if (!name || !*name) raise(eArgumentError, "a method needs a name");
    if (!func) raise(eArgumentError, "method '" + std::string(name) + "' has no function");
    if (arity < -1 || arity > kMaxArity)
        raise(eArgumentError, "arity " + std::to_string(arity) + " of '" + name +
                                  "' is not supported (-1 to " + std::to_string(kMaxArity) + ")");
    const zelt::Id id = zelt::intern(name);
    SignalsHeld quiet; // a definition may allocate under the lock
    std::lock_guard lock(define_lock());
    Method *m = c->own_used < Class::kSlots ? &c->own[c->own_used++] : new Method;
    *m = {id, arity, func}; // published below, with release
    std::size_t n = c->count.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < n; ++i) {
        const Method *old = c->slots[i].load(std::memory_order_relaxed);
        if (old->id == m->id) { // a redefinition replaces the entry in place
            c->slots[i].store(m, std::memory_order_release);
            if (m->id < Class::kIndexed) c->by_id[m->id].store(m, std::memory_order_release);
            static std::vector<const Method *> *retired = new std::vector<const Method *>;
            retired->push_back(old); // a call may still be reading it
            return;
        }
    }
    if (n == Class::kSlots) {
        if (!c->owns(m)) delete m;
        raise(eArgumentError, "class " + c->name + " has too many methods");
    }
    c->slots[n].store(m, std::memory_order_release);
    c->ids[n].store(m->id, std::memory_order_relaxed);
    c->count.store(n + 1, std::memory_order_release); // publishes both
    if (m->id < Class::kIndexed) c->by_id[m->id].store(m, std::memory_order_release);
}

// The class object's own methods live in a class made for it, between it and
// Class: made at its first such definition, and published once whole.
extern "C" void zl_define_singleton_method(zl_value klass, const char *name, zl_func func,
                                           int arity) {
    using namespace zelt::rt;
    Class *c = as_class(klass);
    zl_value meta = __atomic_load_n(&c->header.klass, __ATOMIC_ACQUIRE);
    if (meta == cClass) {
        const std::string meta_name = "#<Class:" + c->name + ">";
        zl_value made = make_class(meta_name.c_str(), as_class(cClass));
        if (__atomic_compare_exchange_n(&c->header.klass, &meta, made, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            meta = made; // else another definition made it first, and MADE is spare
    }
    zl_define_method(meta, name, func, arity);
}
