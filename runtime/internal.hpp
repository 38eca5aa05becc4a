// internal.hpp: what the runtime's own files share and no extension sees.
#pragma once

#include <zelt.h>         // the extension interface
#include <zelt/embed.hpp> // the embedding API

#include <array>   // method slots
#include <atomic>  // lock-free method tables, record state
#include <cstdint> // uint32_t
#include <mutex>   // record read lock
#include <string>  // class names, strings
#include <vector>  // read buffer

namespace zelt::rt {

enum class Type : zl_value { Class = 1, Float, String, IO };

// ---- raising ------------------------------------------------------------
extern zl_value eArgumentError, eTypeError, eRangeError, eIOError, eSystemCallError, eNoMethodError,
    eLoadError;
[[noreturn]] void raise(zl_value klass, std::string message, int err = 0);

// ---- heap objects ---------------------------------------------------------
struct Method {
    Id id;
    zl_func fn;
    int arity;
};

struct Class {
    zl_object header;
    std::string name;
    Class *super;
    static constexpr std::size_t kSlots = 64;
    std::array<std::atomic<const Method *>, kSlots> slots{}; // published once filled
    std::array<std::atomic<Id>, kSlots> ids{}; // slot i's method name: a lookup scans one array
    std::atomic<std::size_t> count{0};
    // The methods whose name ids are small, as almost all are: one load finds them.
    static constexpr Id kIndexed = 256;
    std::array<std::atomic<const Method *>, kIndexed> by_id{};
};

struct Float {
    zl_object header;
    double value;
};

struct String {
    zl_object header;
    std::string value;
};

// An open stream. `pub` must stay first: extensions read the descriptor there.
struct Record {
    zl_openfile pub;
    bool readable = false;
    // Close state: kClosed, plus the number of calls holding the descriptor.
    static constexpr std::uint32_t kClosed = 1u << 31;
    std::atomic<std::uint32_t> state{0};
    std::atomic<bool> released{false}; // descriptor given back to the kernel
    std::atomic<int> wake_fd{-1};      // eventfd written by close, made on first blocking wait
    std::mutex wake_mu;                // guards making wake_fd
    std::mutex read_mu;                // serialises the runtime's own reads
    std::vector<char> buf;             // read-ahead buffer: [pos, end) is unread
    std::size_t pos = 0, end = 0;
    std::atomic<int> pending{0}; // end - pos, readable from any thread

    bool closed() const { return state.load(std::memory_order_acquire) & kClosed; }
    void enter() { state.fetch_add(1, std::memory_order_acq_rel); }
    void leave(); // the last holder out of a closed stream releases its descriptor
};

zl_value make_class(const char *name, Class *super);
Class *as_class(zl_value klass);
template <class T> T *as(zl_value v) { return reinterpret_cast<T *>(static_cast<uintptr_t>(v)); }
inline zl_value word_of(const void *p) {
    return static_cast<zl_value>(reinterpret_cast<uintptr_t>(p));
}
// Inline: every call passes these tests, so each is a few instructions.
inline bool is_heap(zl_value v) { return v != 0 && (v & 7u) == 0; } // 8-aligned, non-zero
inline Type type_of_heap(zl_value v) { return static_cast<Type>(as<zl_object>(v)->flags); }
inline bool is_heap_of(zl_value v, Type t) { return is_heap(v) && type_of_heap(v) == t; }
zl_value track(zl_object *o); // a new object's word; the registry frees what is left at exit
void untrack(zl_object *o);
void destroy(zl_object *o); // frees by type

// ---- IO ----------------------------------------------------------------------
void define_io_methods();
[[noreturn, gnu::cold]] void not_an_io(zl_value v); // zl_io_taint_check's TypeError
void close_record(Record *r); // marks closed, wakes waiters, releases when idle
void free_record(Record *r);
// The innermost call on an IO running on this thread. A call that waits on
// its stream holds the descriptor from that wait until it returns, so that a
// close from another thread cannot give the number away under it. Written on
// every call on an IO: initial-exec and constant-initialised, so each access
// is one instruction rather than a call into the dynamic linker.
struct CallFrame {
    Record *record;
    bool holds;
};
extern thread_local constinit CallFrame current_call [[gnu::tls_model("initial-exec")]];

// ---- classes made at start ---------------------------------------------------
extern zl_value cObject, cClass, cNilClass, cTrueClass, cFalseClass, cInteger, cFloat, cString,
    cException;

} // namespace zelt::rt
