// internal.hpp: what the runtime's own files share and no extension sees.
#pragma once

#include <zelt.h>         // the extension interface
#include <zelt/embed.hpp> // the embedding API

#include <array>       // method slots
#include <atomic>      // lock-free method tables, record state
#include <csignal>     // sigset_t
#include <cstdint>     // uint32_t
#include <mutex>       // record read lock
#include <string>      // class names, strings
#include <sys/types.h> // pid_t, ssize_t
#include <vector>      // read buffer

namespace zelt::rt {

enum class Type : zl_value { Class = 1, Float, String, IO };

// ---- raising ------------------------------------------------------------
extern zl_value eArgumentError, eTypeError, eRangeError, eIOError, eSystemCallError, eNoMethodError,
    eLoadError;
[[noreturn]] void raise(zl_value klass, std::string message, int err = 0);

// ---- heap objects ---------------------------------------------------------
struct Method {
    Id id;
    int arity;
    zl_func fn;
};

// A class, on a page of its own (mapped for it, apart from the heap): what a
// call reads, the index and the methods it points to, lies on that one page.
struct Class {
    zl_object header;
    Class *super;
    // The methods whose name ids are small, as almost all are: one load finds them.
    static constexpr Id kIndexed = 256;
    std::array<std::atomic<const Method *>, kIndexed> by_id{};
    static constexpr std::size_t kSlots = 64;
    std::array<Method, kSlots> own{}; // where definitions go first; written before published
    std::size_t own_used = 0;         // guarded by the definitions' lock
    std::array<std::atomic<const Method *>, kSlots> slots{}; // published once filled
    std::array<std::atomic<Id>, kSlots> ids{}; // slot i's method name: a lookup scans one array
    std::atomic<std::size_t> count{0};
    std::string name;

    Class() = default;
    Class(const Class &) = delete;
    Class &operator=(const Class &) = delete;
    ~Class(); // frees the methods it does not hold in `own`
    bool owns(const Method *m) const;
    static void *operator new(std::size_t size); // a page of its own
    static void operator delete(void *p);
};
static_assert(sizeof(Class) <= 4096, "a class fits its page");

struct Float {
    zl_object header;
    double value;
};

struct String {
    zl_object header;
    std::string value;
};

// An open stream. `pub` must stay first: extensions read the descriptor there.
// What every call reads (descriptor, mode, closed, buffered count) shares the
// first cache line; what waits and reads write lies past it.
struct Record {
    zl_openfile pub;
    bool readable = false;
    bool plain_read = false; // a regular file or block device: read(2) never waits for input
    bool nowait = true;      // preadv2 RWF_NOWAIT works here (pipes, sockets); read_mu
    std::atomic<bool> closed_{false};         // set once, by the close
    std::atomic<int> pending{0};              // end - pos, readable from any thread
    std::atomic<bool> released{false};        // descriptor given back to the kernel
    bool release_pending = false;             // guarded by the thread table's lock
    alignas(64) std::atomic<int> sleepers{0}; // blocking waits that a fill must wake
    std::mutex read_mu;                       // serialises the runtime's own reads
    std::vector<char> buf;                    // read-ahead buffer: [pos, end) is unread
    std::size_t pos = 0, end = 0;

    bool closed() const {
        return closed_.load(std::memory_order_relaxed);
    } // ordered by the protocol
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
zl_value track(zl_object *o); // a new object's word; the registry keeps it reachable
void untrack(zl_object *o);
void destroy(zl_object *o); // frees by type

// ---- IO ----------------------------------------------------------------------
void define_io_methods();
[[noreturn, gnu::cold]] void not_an_io(zl_value v); // zl_io_taint_check's TypeError
void free_record(Record *r);

// ---- calls in flight (in_flight.cpp) -----------------------------------------
// Each thread names the records of its calls on IOs in a chain of its own,
// with plain stores; a close pays to see them (see in_flight.cpp).
// A call reads and writes `depth` and the first entries of `chain`: they share
// the first cache line.
struct alignas(64) ThreadCalls {
    static constexpr unsigned kDepth = 16;
    unsigned depth = 0; // the owner's alone
    pid_t tid = 0;
    std::atomic<Record *> in_read{nullptr};   // in a read(2) only the wake signal ends
    bool in_use = false;                      // guarded by the table's lock
    std::atomic<Record *> chain[kDepth] = {}; // innermost last; written by the owner only
    sigset_t wait_mask;                       // the thread's mask, the wake signal open: ppoll's
};
extern thread_local constinit ThreadCalls *this_thread [[gnu::tls_model("initial-exec")]];
extern bool fenced; // no asymmetric barrier here: callers fence themselves

ThreadCalls *register_thread();
[[noreturn, gnu::cold]] void nested_too_deep();
[[gnu::cold]] void leave_closed(Record *r);
void close_record(Record *r);  // marks closed, wakes its callers, releases when idle
void wake_sleepers(Record *r); // a fill moved input into R's buffer
ssize_t interruptible_read(Record *r, void *to, std::size_t n); // read(2) a close can end
// zl_wait_for_single_fd; a runtime read waits with WAKE_ON_BUFFER false, as
// the one filling the buffer.
[[gnu::hot]] int wait_fd(int fd, int events, const timeval *limit, bool wake_on_buffer);

// A full barrier. ThreadSanitizer does not model fences, and gcc warns of
// each under it: its builds look for data races, the model checks ordering.
[[gnu::always_inline]] inline void full_fence() {
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
    __atomic_thread_fence(__ATOMIC_SEQ_CST);
#if defined(__SANITIZE_THREAD__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
}

// Orders the chain store before the closed check that follows (and the clear
// before the check on leaving): the close's membarrier fences the other side.
[[gnu::always_inline]] inline void publish_fence() {
    if (fenced)
        full_fence();
    else
        std::atomic_signal_fence(std::memory_order_seq_cst);
}

// A method call on an IO, named in its thread's chain while it runs.
class IoCall {
public:
    [[gnu::always_inline]] explicit IoCall(Record *r) : r_(r) {
        if (!r_) return;
        ThreadCalls *t = this_thread;
        if (!t) t = register_thread();
        const unsigned d = t->depth;
        if (d == ThreadCalls::kDepth) nested_too_deep();
        t->chain[d].store(r_, std::memory_order_relaxed);
        t->depth = d + 1;
        publish_fence();
    }
    [[gnu::always_inline]] ~IoCall() {
        if (!r_) return;
        ThreadCalls *t = this_thread;
        const unsigned d = t->depth - 1;
        t->chain[d].store(nullptr, std::memory_order_release); // after the call's last system call
        t->depth = d;
        publish_fence();
        if (r_->closed()) leave_closed(r_);
    }
    IoCall(const IoCall &) = delete;
    IoCall &operator=(const IoCall &) = delete;

private:
    Record *r_;
};

// The record of this thread's innermost call on FD's stream, if any.
inline Record *call_record_for(int fd) {
    ThreadCalls *t = this_thread;
    for (unsigned d = t ? t->depth : 0; d-- > 0;) {
        Record *r = t->chain[d].load(std::memory_order_relaxed);
        if (r->pub.fd == fd) return r;
    }
    return nullptr;
}

// ---- classes made at start ---------------------------------------------------
extern zl_value cObject, cClass, cNilClass, cTrueClass, cFalseClass, cInteger, cFloat, cString,
    cException;

} // namespace zelt::rt

// Hot, like every step of a method call: laid out with the others (.text.hot).
extern "C" [[gnu::hot]] int zl_wait_for_single_fd(int fd, int events, timeval *limit);
