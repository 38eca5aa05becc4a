// internal.hpp: what the runtime's own files share and no extension sees.
#pragma once

#include <zelt.h>         // the extension interface
#include <zelt/embed.hpp> // the embedding API

#include <array>       // method slots
#include <atomic>      // lock-free method tables, record state
#include <csignal>     // sigset_t, sig_atomic_t
#include <cstddef>     // offsetof
#include <cstdint>     // uint32_t, uintptr_t, int64_t
#include <ctime>       // timespec
#include <mutex>       // the thread table's lock (in_flight.cpp)
#include <string>      // class names, strings
#include <sys/types.h> // pid_t, ssize_t
#include <vector>      // read buffer

namespace zelt::rt {

enum class Type : zl_value { Class = 1, Float, String, IO, Array, Data };

// ---- raising ------------------------------------------------------------
extern zl_value eArgumentError, eTypeError, eRangeError, eIOError, eSystemCallError, eNoMethodError,
    eLoadError;
[[noreturn]] void raise(zl_value klass, std::string message, int err = 0);

// ---- owned locks (owned_lock.cpp) ---------------------------------------------
// Each thread's number, for the lock words that name their holder: never 0,
// even (bit 0 is a lock's sleeper mark), never reused. Safe in a signal handler.
uint32_t new_thread_token();
extern thread_local constinit uint32_t thread_token_ [[gnu::tls_model("initial-exec")]];
inline uint32_t thread_token() {
    const uint32_t t = thread_token_;
    return t ? t : new_thread_token();
}
void futex_wait(std::atomic<uint32_t> &word, uint32_t seen); // returns at once unless WORD == SEEN
void futex_wake(std::atomic<uint32_t> &word, int threads);

// A lock whose word names the thread that holds it. Taking one this thread
// holds already (a signal handler that interrupted the section calls into it)
// raises SystemCallError EDEADLK at once; a fork tells the locks its own
// thread holds from those of threads the child will not have. The short locks
// (registry, interning, definitions, loader, a stream's buffer) are held for
// a few stores: no system call that can block and no allocation inside, so a
// handler's refusal, which allocates, never finds its thread inside malloc.
class OwnedLock {
public:
    explicit constexpr OwnedLock(const char *what) : what_(what) {}
    OwnedLock(const OwnedLock &) = delete;
    OwnedLock &operator=(const OwnedLock &) = delete;
    void lock() {
        const uint32_t me = thread_token();
        uint32_t seen = 0;
        if (word_.compare_exchange_strong(seen, me, std::memory_order_acquire,
                                          std::memory_order_relaxed)) [[likely]]
            return;
        lock_slow(me, seen);
    }
    bool try_lock() { // free: taken; held (by any thread, this one too): false at once
        uint32_t seen = 0;
        return word_.compare_exchange_strong(seen, thread_token(), std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void unlock() {
        if (word_.exchange(0, std::memory_order_release) & kSleeper) [[unlikely]]
            futex_wake(word_, 1);
    }
    bool held_here() const {
        return (word_.load(std::memory_order_relaxed) & ~kSleeper) == thread_token();
    }
    bool held_by_other() const { // another thread's, or one the child does not have
        const uint32_t w = word_.load(std::memory_order_relaxed) & ~kSleeper;
        return w != 0 && w != thread_token();
    }
    void reset_in_child() { word_.store(0, std::memory_order_relaxed); } // no other thread left

private:
    static constexpr uint32_t kSleeper = 1;
    [[gnu::cold]] void lock_slow(uint32_t me, uint32_t seen);
    std::atomic<uint32_t> word_{0};
    const char *what_; // for the refusal's message
};

// Asynchronous signals blocked for a section that allocates under its lock
// (a rare one: interning a new name, a definition, a load): no handler runs
// inside it, and no fork from one.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t old_;
};

// The short locks, in the order a fork takes them (fork.cpp).
OwnedLock &loader_lock();
OwnedLock &define_lock();
OwnedLock &intern_lock();
OwnedLock &registry_lock();
extern uint32_t fork_generation; // bumped in each fork child

// ---- heap objects ---------------------------------------------------------
// Every tracked object is on one of the registry's lists, linked through a
// field of its own: the registry's lock covers no allocation.
struct Link {
    Link *prev = nullptr, *next = nullptr;
    zl_object *object = nullptr;
};

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
    // The methods whose name ids are small, as almost all are: one load finds
    // them. An id with no method of this class finds `no_method`, never null:
    // its arity matches no call, so a call tests for it only on the slow way.
    static constexpr Id kIndexed = 256;
    static const Method no_method;
    std::array<std::atomic<const Method *>, kIndexed> by_id;
    static constexpr std::size_t kSlots = 64;
    std::array<Method, kSlots> own{}; // where definitions go first; written before published
    std::size_t own_used = 0;         // guarded by the definitions' lock
    std::array<std::atomic<const Method *>, kSlots> slots{}; // published once filled
    std::array<std::atomic<Id>, kSlots> ids{}; // slot i's method name: a lookup scans one array
    std::atomic<std::size_t> count{0};
    std::string name;
    Link link; // on the registry's list

    Class();
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
    Link link;
    double value;
};

struct String {
    zl_object header;
    Link link;
    std::string value;
    bool permanent = false; // the runtime's own (an event word): never released
};
zl_value permanent_str(std::string_view s);

struct Array {
    zl_object header;
    Link link;
    std::vector<zl_value> values;
};

// An object of a class an extension defined, carrying the extension's data
// and its kind, whose function frees it when the object is released.
struct Data {
    zl_object header;
    Link link;
    const zl_data_type *type;
    void *ptr;
};

// How far the runtime's reads on a stream may go past what the call asks:
// a chunk ahead, or (read exactly) a byte at a time, or up to the newline
// that a peek at a stream socket found.
enum class ReadStep : unsigned char { Ahead, Byte, Peek };

// An open stream. `pub` must stay first: extensions read the descriptor there.
// What every call reads (descriptor, mode, closed, buffered count) shares the
// first cache line; what waits and reads write lies past it.
struct Record {
    zl_openfile pub;
    bool readable = false;
    bool writable = false;
    bool plain_read = false; // a regular file or block device: read(2) never waits for input
    bool nowait = true;      // preadv2 RWF_NOWAIT works here (pipes, sockets); the turn's
    bool datagrams = false;  // a datagram or seqpacket socket: a read takes one datagram
    bool sized = false;      // a regular file whose size is its length: eof? counts
    std::atomic<bool> closed_{false};                  // set once, by the close
    std::atomic<int> pending{0};                       // end - pos, readable from any thread
    std::atomic<bool> released{false};                 // descriptor given back to the kernel
    bool release_pending = false;                      // guarded by the thread table's lock
    Record *owed_prev = nullptr, *owed_next = nullptr; // the owed list; the table's lock
    alignas(64) std::atomic<int> sleepers{0};          // blocking waits that a fill must wake
    // The runtime's own reads: one reader at a time holds the turn, across its
    // waits; it alone changes the buffer, under buf_lock, which a fork and the
    // release that drops the buffer take too (see io.cpp).
    OwnedLock turn{"this stream's reader's turn"};
    OwnedLock buf_lock{"this stream's read buffer"};
    ReadStep step = ReadStep::Ahead; // turn: how far a read may go past its call's
    std::vector<char> buf;           // read-ahead buffer: [pos, end) is unread
    std::size_t pos = 0, end = 0;
    // A seekable stream's read-ahead, for giving it back (io.cpp): the file
    // offset just past buf[end] as this stream's last read left it (-1:
    // unknown), and how many bytes at the buffer's tail this process read
    // itself, since fork generation `own_gen`. The turn's, like buf.
    int64_t file_end = -1;
    std::size_t own = 0;
    uint32_t own_gen = 0;
    char *overflow = nullptr; // a datagram's room past the buffer, mapped at first need
    Link link;                // on the registry's list of streams
    // The runtime's own writes (write.cpp): one writer at a time holds the
    // writer's turn, across its waits, apart from the reader's, so that a
    // read and a write on one socket never wait for each other. Only the
    // turn's holder changes wbuf and wlen; `held` and `sync` are their
    // copies for any thread (zl_io_write_pending, zl_io_write_room).
    OwnedLock wturn{"this stream's writer's turn"};
    std::vector<char> wbuf;        // wturn: [0, wlen) written, not yet given to the kernel
    std::size_t wlen = 0;          // wturn
    std::atomic<long> held{0};     // wlen, readable from any thread
    std::atomic<bool> sync{false}; // unbuffered: each write goes to the kernel at once
    bool wsocket = false;          // send(2) with MSG_NOSIGNAL
    bool wpipe = false;            // a pipe or FIFO: SIGPIPE held off around write(2)
    bool wnowait = true;           // pwritev2 RWF_NOWAIT works here; the turn's
    // The selectors this stream is registered in (selector.cpp): the list
    // under the thread table's lock; `selected` counts them, for a fill and
    // a release to know, with no lock, whether to look there.
    struct SelectorEntry *selections = nullptr;
    std::atomic<int> selected{0};

    bool closed() const {
        return closed_.load(std::memory_order_relaxed);
    } // ordered by the protocol
};

// An IO object and its record, made and freed together. Aligned so that
// what every call reads, the object's three words and the record's first
// line, lies within one 128-byte block, and so on one page, wherever the
// heap puts it.
struct alignas(128) IoObject {
    zl_io io;
    Record record;
};
static_assert(offsetof(IoObject, record) + 64 <= 128, "a call's reads share one block");

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
void for_each_stream(void (*fn)(Record *)); // under registry_lock
void destroy(zl_object *o);                 // frees by type

// ---- IO ----------------------------------------------------------------------
void define_io_methods();
[[noreturn, gnu::cold]] void not_an_io(zl_value v); // zl_io_taint_check's TypeError
void close_for_release(Record *r); // the object's release closes the stream, as a close does
void drop_buffer(Record *r); // the last call has left a closed stream: read-ahead back, buffer gone
// Writes (write.cpp).
zl_value io_write(zl_value self, zl_value string);
zl_value io_flush(zl_value self);
zl_value io_sync(zl_value self);
zl_value io_set_sync(zl_value self, zl_value on);
void flush_before_close(Record *r);    // raises as flush does; skipped while another thread writes
void drop_write_buffer(Record *r);     // the release: what was not flushed is gone
void write_buffer_in_child(Record *r); // a fork child: the parent's bytes are the parent's to write
void set_write_kind(Record *r, int type); // at the stream's making: sync's default, the way out

// ---- calls in flight (in_flight.cpp) -----------------------------------------
// Each thread names the records of its calls on IOs in a chain of its own,
// with plain stores; a close pays to see them (see in_flight.cpp).
// A call reads and writes `depth` and the first entries of `chain`: they share
// the first cache line.
struct SleepLink;
struct SetSpare; // a set wait's arrays, kept for the next (stream_set.cpp)
struct alignas(64) ThreadCalls {
    static constexpr unsigned kDepth = 16;
    static constexpr std::uintptr_t kSending = 1, kSent = 2; // blocked_on's flag bits
    unsigned depth = 0; // the owner's alone (its handlers included)
    // Calls at a depth below this take the plain path: kDepth, or 0 once the
    // process has no asymmetric barrier and callers fence after each store of
    // the protocol (set for good, under the table's lock, before a barrier).
    // So one compare at a call's entry rules out both a fenced process and
    // nesting too deep. Each thread's own copy, on the line its calls write.
    std::atomic<unsigned> plain_below{kDepth};
    std::atomic<bool> fenced{false}; // the same switch, as a leave tests it (see leave_call)
    bool in_use = false;             // guarded by the table's lock
    pid_t tid = 0;
    // The record whose blocking system call this thread is in, or 0; a
    // signaller adds kSending while it sends, then kSent (see in_flight.cpp).
    std::atomic<std::uintptr_t> blocked_on{0};
    ThreadCalls *next = nullptr; // the table's list; set once, under its lock
    // Null for good, just below the chain: the innermost slot at depth 0
    // (innermost_call), so that a look for it needs no test of the depth.
    std::atomic<Record *> chain_floor{nullptr};
    std::atomic<Record *> chain[kDepth] = {}; // innermost last; written by the owner only
    // A blocking wait's limit, read by the kernel at its ppoll's entry. A wake
    // on this thread zeroes it (zero_limit): landing between the wait's checks
    // and its ppoll, it makes the ppoll return at once.
    timespec wait_left = {};
    const SleepLink *sleeping = nullptr; // the owner's: its waits counted in sleepers
    // The arrays of this entry's last large set wait (stream_set.cpp), kept
    // for the next: taken whole for a wait and given back as it leaves, so
    // a handler's wait nested in one makes its own.
    std::atomic<SetSpare *> set_spare{nullptr};
};

// A wait that input in R's buffer ends, counted in R's sleepers while it
// lasts (fd_wait.cpp), on its thread's list, innermost first: a fill that a
// handler makes on the thread leaves out the waits it interrupted. Listed
// before it is counted, counted out before it is unlisted.
struct SleepLink {
    const Record *r;
    const SleepLink *outer;
};
// A thread's entry; until its first call registers it, `unregistered`, an
// entry that is never written and sends every call to the slow path
// (plain_below 0): the hot path tests no null.
extern constinit ThreadCalls unregistered;
extern thread_local constinit ThreadCalls *this_thread [[gnu::tls_model("initial-exec")]];
inline ThreadCalls *registered_thread() { // null before the thread's first call
    ThreadCalls *t = this_thread;
    return t == &unregistered ? nullptr : t;
}
// No asymmetric barrier here (refused at load, or lost later): callers fence.
// The process's flag; each thread reads its own copy (ThreadCalls::fenced).
extern std::atomic<bool> fenced;
void fence_every_caller(); // under the table's lock: every entry's copy set

// The thread table's lock, held with every signal blocked on this thread and
// cancellation off: no handler re-enters, no unwind leaves it half done.
// Closes, fills and the selectors' registrations (in_flight.cpp, selector.cpp).
class TableLock {
public:
    TableLock();
    ~TableLock();
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;
    void pause(long ns); // the lock dropped, the thread's own mask back meanwhile

private:
    sigset_t mask_;
    int cancel_ = 0;
};

ThreadCalls *register_thread();
[[noreturn, gnu::cold]] void nested_too_deep();
[[gnu::cold]] void leave_closed(Record *r);
void close_record(Record *r);  // marks closed, wakes its callers, releases when idle
void wake_sleepers(Record *r); // a fill moved input into R's buffer
ssize_t interruptible_read(Record *r, void *to, std::size_t n);          // read(2) a close can end
ssize_t interruptible_write(Record *r, const void *from, std::size_t n); // write(2) likewise
// zl_wait_for_single_fd; a runtime read waits with WAKE_ON_BUFFER false, as
// the one filling the buffer.
[[gnu::hot]] int wait_fd(int fd, int events, const timeval *limit, bool wake_on_buffer);
// The thread table's part of a fork (fork.cpp calls them in its order).
void in_flight_before_fork();
void in_flight_after_fork_parent();
void in_flight_after_fork_child();

// This thread blocked in a system call on R while it lives: a close or a fill
// signals it only then. Cleared on every way out (return, exception, the
// forced unwind of a cancellation); a wake signal sent meanwhile is taken
// back before the destructor returns. A wait that a handler makes inside
// another puts the outer mark back on its way out, and zeroes the limit, so
// the outer wait looks again (a close may have passed it by meanwhile).
struct StreamSet;
class BlockedOn {
public:
    BlockedOn(ThreadCalls *t, Record *r);
    BlockedOn(ThreadCalls *t, const StreamSet *s); // a wait on several (stream_set.cpp)
    ~BlockedOn();
    BlockedOn(const BlockedOn &) = delete;
    BlockedOn &operator=(const BlockedOn &) = delete;

private:
    BlockedOn(ThreadCalls *t, std::uintptr_t mark);
    ThreadCalls *t_;
    std::uintptr_t outer_; // the interrupted wait's mark, flags and all; 0 for none
};

// ---- waits on several streams (stream_set.cpp) -------------------------------
// A thread blocked on several records marks blocked_on with the set its frame
// owns, kSetMark added; while the mark names the set, the set names its
// records as a chain names a call's. A closer or a fill reads another
// thread's set only under the table's lock and with the mark claimed
// (kSending), so the set's frame stays until it is done.
struct alignas(8) StreamSet {
    Record *const *records;
    std::size_t count;
    const zl_selector *selector = nullptr; // a selector's wait: its records are its registrations
    bool input = true;                     // a wait that input ends (a selector's always is)
};
constexpr std::uintptr_t kSetMark = 4; // in blocked_on, beside kSending and kSent
// Whether a mark may name R: R's own, or a set's, for claimed_names to tell.
inline bool may_name(std::uintptr_t mark, const Record *r) {
    constexpr std::uintptr_t flags = ThreadCalls::kSending | ThreadCalls::kSent;
    return (mark & ~flags) == reinterpret_cast<std::uintptr_t>(r) || (mark & kSetMark);
}
bool claimed_names(std::uintptr_t mark, const Record *r); // MARK claimed, or this thread's
bool claimed_set_for_input(std::uintptr_t mark);          // MARK claimed: a set that input ends
bool set_names(ThreadCalls *t, const Record *r);          // claims T's mark to look
extern std::atomic<int> set_sleepers; // waits on several: a fill must look for them

// ---- selectors (selector.cpp) ---------------------------------------------
// Under the table's lock: a close takes R out of every selector's interest
// set, while its descriptor is still R's, and queues it there as closed; a
// fill queues R's buffered input on each selector it is registered in.
void selectors_close(Record *r);
void selectors_fill(Record *r);
void selectors_forget(Record *r); // R's object is released: its registrations go, unanswered
bool selector_holds(const zl_selector *s, const Record *r);

// This thread's wait looks again: its ppoll, about to be made, returns at
// once. Async-signal-safe.
inline void zero_limit(ThreadCalls *t) { t->wait_left = {0, 0}; }

// The mask a blocking wait's ppoll takes, in the kernel's 64 bits: the
// thread's own as it is now (a handler's, in a handler), the wake signal open.
std::uint64_t wait_mask();

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
// before the check on leaving): the close's barrier fences the other side.
[[gnu::always_inline]] inline void publish_fence(const ThreadCalls *t) {
    if (__builtin_expect(t->fenced.load(std::memory_order_relaxed), 0))
        full_fence();
    else
        std::atomic_signal_fence(std::memory_order_seq_cst);
}

// A method call on an IO, named in its thread's chain while it runs. Depth
// goes up before the slot is written and down after it is cleared: a call
// made by a signal handler between the two steps takes the next slot and
// gives it back, so the interrupted call's own stays as it wrote it.
// enter_call and leave_call are the two halves, for a caller that lays out
// the frame itself (the dispatch: enter_plain and leave_plain on its plain
// path); IoCall pairs them over a scope.

// Stores slot D of T's chain. Through the builtin on the array's base, so
// that gcc folds the chain's offset into the store (std::atomic's own store
// costs two instructions more on every call); the same atomic store.
[[gnu::always_inline]] inline void store_slot(ThreadCalls *t, unsigned d, Record *r, int order) {
    static_assert(sizeof(std::atomic<Record *>) == sizeof(std::uintptr_t)); // a plain word
    __atomic_store_n(reinterpret_cast<Record **>(t->chain) + d, r, order);
}

// The record of T's innermost call, read by its owner: the slot below its
// depth, the floor's null at depth 0 (or in a slot a handler's call took and
// has not written yet). Counted from the floor as a number, so that depth 0
// forms no pointer before the chain; the same fold of the offset.
static_assert(offsetof(ThreadCalls, chain) ==
              offsetof(ThreadCalls, chain_floor) + sizeof(ThreadCalls::chain_floor));
[[gnu::always_inline]] inline Record *innermost_call(const ThreadCalls *t) {
    const std::uintptr_t slot =
        reinterpret_cast<std::uintptr_t>(&t->chain_floor) +       // 64 bits:
        std::size_t{t->depth} * sizeof(ThreadCalls::chain_floor); // no extension after
    return __atomic_load_n(reinterpret_cast<Record *const *>(slot), __ATOMIC_RELAXED);
}

[[gnu::always_inline]] inline bool plain_call(const ThreadCalls *t) {
    return t->depth < t->plain_below.load(std::memory_order_relaxed);
}

// Enter when plain_call(T) holds: no fence, no depth check.
[[gnu::always_inline]] inline void enter_plain(ThreadCalls *t, Record *r) {
    const unsigned d = t->depth;
    t->depth = d + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst); // a handler sees the slot taken
    store_slot(t, d, r, __ATOMIC_RELAXED);
}

[[gnu::cold]] void enter_call_fenced(ThreadCalls *t, Record *r); // or too deep
[[gnu::always_inline]] inline void enter_call(ThreadCalls *t, Record *r) {
    if (plain_call(t)) [[likely]]
        enter_plain(t, r);
    else
        enter_call_fenced(t, r);
}

[[gnu::cold]] void leave_fenced_or_closed(ThreadCalls *t, Record *r);
// The same, passing on a call's result: the frame's slow way out is a tail call.
[[gnu::cold]] zl_value leave_fenced_or_closed_with(ThreadCalls *t, Record *r, zl_value result);

// Leaves the innermost call; T is this thread's entry. One test for the two
// rare cases, a fenced process and a closed stream: true when the slow way
// must follow, which fences, then reads closed again.
[[gnu::always_inline]] inline bool leave_plain(ThreadCalls *t, Record *r) {
    const unsigned d = t->depth - 1;
    store_slot(t, d, nullptr, __ATOMIC_RELEASE);         // after the call's last system call
    std::atomic_signal_fence(std::memory_order_seq_cst); // cleared before it is free
    t->depth = d;
    const unsigned is_closed = r->closed_.load(std::memory_order_relaxed),
                   must_fence = t->fenced.load(std::memory_order_relaxed);
    return (is_closed | must_fence) != 0; // both read, one test: no branch between them
}

[[gnu::always_inline]] inline void leave_call(ThreadCalls *t, Record *r) {
    if (__builtin_expect(leave_plain(t, r), 0)) leave_fenced_or_closed(t, r);
}

class IoCall {
public:
    [[gnu::always_inline]] explicit IoCall(Record *r) : r_(r) {
        if (!r_) return;
        ThreadCalls *t = this_thread;
        enter_call(t != &unregistered ? t : register_thread(), r_);
    }
    [[gnu::always_inline]] ~IoCall() {
        if (r_) leave_call(this_thread, r_);
    }
    IoCall(const IoCall &) = delete;
    IoCall &operator=(const IoCall &) = delete;

private:
    Record *r_;
};

// The record of this thread's innermost call on FD's stream, if any. A slot
// may be empty: taken by a call that a handler interrupted before it wrote.
inline Record *call_record_for(int fd) {
    const ThreadCalls *t = this_thread; // never null: before the first call, depth 0
    for (unsigned d = t->depth; d-- > 0;) {
        Record *r = t->chain[d].load(std::memory_order_relaxed);
        if (r && r->pub.fd == fd) return r;
    }
    return nullptr;
}

// ---- classes made at start ---------------------------------------------------
extern zl_value cObject, cClass, cNilClass, cTrueClass, cFalseClass, cInteger, cFloat, cString,
    cException;

} // namespace zelt::rt

// Hot, like every step of a method call: laid out with the others (.text.hot).
extern "C" [[gnu::hot]] int zl_wait_for_single_fd(int fd, int events, timeval *limit);
