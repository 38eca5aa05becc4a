// in_flight.cpp: calls in flight on IOs, and closing a stream under them.
//
// Contract with the host process. The runtime takes one signal (the wake
// signal, wake_signal.cpp) and nothing else: it opens it only inside its own
// blocking system calls and never blocks it, so masks are the host's, and a
// wait takes its thread's mask as it is then (a handler's, in a handler). The
// host may change masks, install its own handler for the wake signal or
// ignore it (the next close takes it back and passes on what it did not
// send), fork, exec, cancel threads and end them; it must not longjmp out of
// a handler that interrupted a runtime call.
//
// The protocol; tests/model/close_protocol.pml checks its core over every
// interleaving on x86-TSO store buffers (`scripts/test model`).
// - Caller: a call on an IO (the dispatch's frame, or IoCall) raises depth,
//   then stores chain[depth-1] = R (signal fences between: a handler's call
//   takes the next slot), then (fenced: a full fence) its method loads
//   R->closed before any system call on R. Leave clears the entry, then
//   lowers depth, then loads closed and the thread's `fenced`; if either is
//   set it (fenced: fences and) loads closed again; if set, leave_closed()
//   releases under the lock when release_pending is set and no chain names
//   R. A fenced process's calls enter the slow way (plain_below is 0).
// - Blocked: before a blocking system call on R (a wait's ppoll, the
//   fallback read(2), a write's write(2)) the thread stores blocked_on = R,
//   ordered like the chain store; a wait that input ends then counts itself
//   in R's sleepers; then it checks closed (that wait: and input buffered),
//   then calls. Every way out (BlockedOn's destructor, after the count's)
//   clears the mark with a CAS that waits while kSending is set and, if
//   kSent was, opens the wake signal for one system call: a pending wake is
//   delivered and dropped. A handler's wait inside another puts the outer
//   mark back and zeroes the limit. A set wait marks its set (stream_set.cpp).
// - Limit: a wait's ppoll always has one (far for none), in wait_left, read
//   by the kernel at entry; each round the wait stores it, checks, calls. A
//   wake on the thread (the handler, a close from a handler over its wait on
//   R, a nested wait's end) zeroes it: the ppoll returns at once, or EINTR,
//   and the wait looks again; only closed, input, readiness or time end it.
// - Send: under the lock, CAS blocked_on from R (or R|kSent) to |kSending,
//   rt_tgsigqueueinfo, store R|kSent. Only a thread blocked on R is signalled.
// - Closer: under the lock, closed.exchange(true), barrier() (barrier.cpp),
//   then scans every chain: any naming R sets release_pending, else it
//   releases at once (never, with no barrier left, while another registered
//   thread lives). Its own thread blocked on R (a close from a handler):
//   zero_limit. Then it sends to every other thread blocked on R, drops the
//   lock, pauses (a yield, then 50 us doubling to 1 ms) and sends again until
//   none is; it never waits for a call to leave. A wake is lost only where the
//   host's SIG_IGN or handler stood (each round puts ours back first) or to a
//   read(2) it landed before.
// - Fill: a read that moved input into R's buffer, holding R's read turn (the
//   input stays), stores pending, then loads the sleeper counts; a sleeper
//   counts itself, then loads pending (seq_cst all): one sees the other. If
//   counted, it sends rounds as the close, but ends once a round finds no
//   other thread blocked on R (a counted sleeper is marked, unless a handler's
//   wait swapped its mark out: it looks again at that wait's end) or, after
//   the pause, R's sleepers are its own thread's alone (they look again when
//   its handler returns) and no set for input was found: a writer sleeps on.
// - Why enough: each side stores, then a full barrier, then loads the other's
//   store: a caller sees closed before its system call, or the scan (chain)
//   and the sends (blocked_on) see it.
// - Locked sections block every signal and cancellation; the close allocates
//   nothing: it is safe in a handler. Thread exit resets the entry whole; a
//   fork child keeps only its own and releases what only vanished threads named.
#include "internal.hpp"
#include "test_hooks/test_hooks.hpp" // calls_fence

#include <algorithm>     // std::clamp: the pause's growth
#include <cerrno>        // errno, kept by BlockedOn
#include <cstdint>       // uint64_t: the kernel's mask
#include <ctime>         // nanosleep: the pause between sends
#include <pthread.h>     // pthread_sigmask, pthread_setcancelstate, keys
#include <sched.h>       // sched_yield: a send in progress
#include <sys/syscall.h> // SYS_rt_sigprocmask
#include <unistd.h>      // gettid, close, syscall

namespace zelt::rt {

constinit ThreadCalls unregistered{.plain_below = 0};
thread_local constinit ThreadCalls *this_thread [[gnu::tls_model("initial-exec")]] = &unregistered;

void barrier_start();
void barrier_after_fork_child();
void barrier();
bool ordered(); // false: no barrier shows other threads' calls (barrier.cpp)
void wake_signal_start();
void own_wake_signal();
void send_wake(pid_t tid);
void take_back_wakes();
bool wake_blocked_in(const sigset_t &mask);
int open_wake(bool open); // the error, 0 when done

namespace {

struct Table {
    std::mutex mu;
    ThreadCalls *threads = nullptr; // never freed: a thread's entry is reused
    Record *owed = nullptr;         // closed, waiting for their last call to leave
    pthread_key_t exit_key;         // runs thread_exit for each thread that registered
};
Table &table() {
    static Table *t = new Table; // never destroyed: threads may outlive main
    return *t;
}

std::uintptr_t word(const Record *r) { return reinterpret_cast<std::uintptr_t>(r); }

bool names(ThreadCalls *t, const Record *r) {
    for (const auto &entry : t->chain)
        if (entry.load(std::memory_order_acquire) == r) return true; // pairs with the clear
    return set_names(t, r);                                          // a wait on several streams
}

bool named_by_any(const Record *r) {
    for (ThreadCalls *t = table().threads; t; t = t->next)
        if (t->in_use && names(t, r)) return true;
    return false;
}

bool may_release() { // a scan sees every call: a barrier ordered them, or no other thread lives
    if (ordered()) return true;
    for (const ThreadCalls *t = table().threads; t; t = t->next)
        if (t->in_use && t != this_thread) return false;
    return true;
}

void owe(Record *r) { // the last call to leave releases
    Table &tab = table();
    r->release_pending = true;
    r->owed_prev = nullptr;
    r->owed_next = tab.owed;
    if (tab.owed) tab.owed->owed_prev = r;
    tab.owed = r;
}

void release(Record *r) {
    if (r->released.exchange(true)) return; // once; io_fd reads it without the lock
    drop_buffer(r); // the last call has left: nobody reads it now; its read-ahead goes back
    ::close(r->pub.fd);
    if (!r->release_pending) return;
    r->release_pending = false;
    (r->owed_prev ? r->owed_prev->owed_next : table().owed) = r->owed_next;
    if (r->owed_next) r->owed_next->owed_prev = r->owed_prev;
}

void release_unnamed() { // after threads vanished: what only they named
    if (!may_release()) return;
    for (Record *r = table().owed; r;) {
        Record *next = r->owed_next;
        if (!named_by_any(r)) release(r);
        r = next;
    }
}

// What a round found: any other thread blocked on R, and among them any
// wait on a set that input ends.
struct Found {
    bool any = false, input_set = false;
};

// Signals T if it is blocked on R.
Found send_if_blocked(ThreadCalls *t, const Record *r) {
    std::uintptr_t w = t->blocked_on.load(std::memory_order_acquire);
    do
        if (!may_name(w, r) || (w & ThreadCalls::kSending)) return {};
    while (!t->blocked_on.compare_exchange_weak(w, w | ThreadCalls::kSending,
                                                std::memory_order_acq_rel));
    if (!claimed_names(w, r)) { // a set without R: as it was
        t->blocked_on.store(w, std::memory_order_release);
        return {};
    }
    const bool input_set = claimed_set_for_input(w); // read while the claim holds its frame
    send_wake(t->tid);
    t->blocked_on.store(w | ThreadCalls::kSent, std::memory_order_release); // it may leave
    return {true, input_set};
}

// One round: signals every other thread blocked on R.
Found send_round(const Record *r) {
    Found found;
    for (ThreadCalls *t = table().threads; t; t = t->next) {
        if (!t->in_use || t == this_thread) continue;
        if (!may_name(t->blocked_on.load(std::memory_order_acquire), r)) continue;
        if (!found.any) own_wake_signal(); // the host may have taken the signal since
        const Found one = send_if_blocked(t, r);
        found.any = found.any || one.any;
        found.input_set = found.input_set || one.input_set;
    }
    return found;
}

constexpr long next_pause(long pause) { // a yield first: the woken thread is usually out by then
    return std::clamp(pause * 2, 50000L, 1000000L);
}

// Sends until no other thread is blocked on R: a wake may be lost (see top).
void send_until_out(TableLock &lock, const Record *r) {
    for (long pause = 0; send_round(r).any; pause = next_pause(pause)) lock.pause(pause);
}

// This thread's waits counted on R: a handler's fill interrupted them.
int own_sleepers(const Record *r) {
    int n = 0;
    for (const SleepLink *s = this_thread->sleeping; s; s = s->outer) n += s->r == r;
    return n;
}

void reset(ThreadCalls *t) {
    for (auto &entry : t->chain) entry.store(nullptr, std::memory_order_relaxed);
    t->blocked_on.store(0, std::memory_order_relaxed);
    t->sleeping = nullptr;
    t->depth = 0;
    t->in_use = false;
}

void thread_exit(void *p) {
    TableLock lock;
    reset(static_cast<ThreadCalls *>(p)); // a cancelled call may have left it named
    release_unnamed();
    this_thread = &unregistered;
}

} // namespace

TableLock::TableLock() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &mask_);
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &cancel_);
    table().mu.lock();
}

TableLock::~TableLock() {
    table().mu.unlock();
    pthread_setcancelstate(cancel_, nullptr);
    pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
}

void TableLock::pause(long ns) {
    table().mu.unlock();
    pthread_sigmask(SIG_SETMASK, &mask_, nullptr);
    timespec t = {0, ns};
    if (ns == 0)
        sched_yield();
    else
        while (nanosleep(&t, &t) != 0 && errno == EINTR) {
        }
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    table().mu.lock();
}

namespace {

thread_local sigset_t fork_mask; // the forking thread's, while the lock is held across fork

[[gnu::constructor(101)]] void start() { // before boot's classes: calls may follow at once
    barrier_start();
    wake_signal_start();
    pthread_key_create(&table().exit_key, thread_exit);
}

} // namespace

void in_flight_before_fork() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &fork_mask);
    table().mu.lock();
}

void in_flight_after_fork_parent() {
    table().mu.unlock();
    pthread_sigmask(SIG_SETMASK, &fork_mask, nullptr);
}

void in_flight_after_fork_child() { // only the forking thread exists here
    for (ThreadCalls *t = table().threads; t; t = t->next)
        if (t != this_thread) reset(t);
    if (ThreadCalls *self = registered_thread()) self->tid = gettid();
    barrier_after_fork_child();
    release_unnamed();
    table().mu.unlock();
    pthread_sigmask(SIG_SETMASK, &fork_mask, nullptr);
}

std::uint64_t wait_mask() { // the kernel's word, read raw: the C library's sigset_t is 16 of them
    std::uint64_t mask = 0;
    if (syscall(SYS_rt_sigprocmask, SIG_BLOCK, nullptr, &mask, sizeof mask) != 0)
        mask = 0; // none: all open
    return mask & ~(std::uint64_t{1} << (zelt::wake_signal() - 1));
}

ThreadCalls *register_thread() {
    TableLock lock;
    Table &tab = table();
    ThreadCalls *t = tab.threads;
    while (t && t->in_use) t = t->next;
    if (!t) {
        t = new ThreadCalls;
        t->next = tab.threads;
        tab.threads = t;
    }
    t->tid = gettid();
    t->in_use = true;
    const bool fence = fenced.load(std::memory_order_relaxed);
    t->plain_below.store(fence ? 0 : ThreadCalls::kDepth, std::memory_order_relaxed);
    t->fenced.store(fence, std::memory_order_relaxed);
    pthread_setspecific(tab.exit_key, t);
    this_thread = t;
    return t;
}

void fence_every_caller() {
    fenced.store(true, std::memory_order_relaxed); // for entries taken from now on
    for (ThreadCalls *t = table().threads; t; t = t->next) {
        t->plain_below.store(0, std::memory_order_relaxed); // a call's entry tests this
        t->fenced.store(true, std::memory_order_relaxed);   // and its leave this
    }
}

void leave_fenced_or_closed(ThreadCalls *t, Record *r) {
    publish_fence(t); // the clear before the closed check
    if (r->closed()) leave_closed(r);
}

zl_value leave_fenced_or_closed_with(ThreadCalls *t, Record *r, zl_value result) {
    leave_fenced_or_closed(t, r);
    return result;
}

void enter_call_fenced(ThreadCalls *t, Record *r) {
    const unsigned d = t->depth;
    if (d == ThreadCalls::kDepth) nested_too_deep();
    t->depth = d + 1;
    std::atomic_signal_fence(std::memory_order_seq_cst); // a handler sees the slot taken
    t->chain[d].store(r, std::memory_order_relaxed);
    full_fence(); // the chain store before the closed check that follows
}

void nested_too_deep() {
    raise(eIOError,
          "calls on IO objects nested more than " + std::to_string(ThreadCalls::kDepth) + " deep");
}

void leave_closed(Record *r) {
    TableLock lock;
    if (r->release_pending) release_unnamed(); // the close has scanned; R, and any left over
}

void close_record(Record *r) {
    TableLock lock;                        // a fork finds R either open or scanned
    if (r->closed_.exchange(true)) return; // closed once; seq_cst: before the fenced scan
    if (r->selections) selectors_close(r); // out of their interest sets while R's number is R's
    barrier();                             // every caller now sees closed, or is seen
    if (named_by_any(r) || !may_release())
        owe(r);
    else
        release(r);
    if (ThreadCalls *self = registered_thread();
        self && claimed_names(self->blocked_on.load(std::memory_order_relaxed), r))
        zero_limit(self); // a close from a handler over a wait on R: it looks again when we return
    send_until_out(lock, r);
}

void wake_sleepers(Record *r) { // under R's read lock: the input stays buffered meanwhile
    TableLock lock;
    if (r->selected.load(std::memory_order_relaxed) > 0) selectors_fill(r); // queued, then woken
    for (long pause = 0;; pause = next_pause(pause)) {
        const Found found = send_round(r);
        if (!found.any) return; // a sleeper has its mark before its count
        lock.pause(pause);
        if (!found.input_set && r->sleepers.load(std::memory_order_relaxed) <= own_sleepers(r))
            return; // every wait that this input ends has left; any other sleeps on
    }
}

namespace {

// Puts WANT in T's mark once no send is in progress on it; the mark it took out.
std::uintptr_t swap_mark(ThreadCalls *t, std::uintptr_t want) {
    std::uintptr_t w = t->blocked_on.load(std::memory_order_acquire);
    for (;;) {
        if (w & ThreadCalls::kSending) { // a signal on its way: let it land first
            sched_yield();
            w = t->blocked_on.load(std::memory_order_acquire);
        } else if (t->blocked_on.compare_exchange_weak(w, want, std::memory_order_acq_rel)) {
            return w;
        }
    }
}

} // namespace

BlockedOn::BlockedOn(ThreadCalls *t, Record *r) : BlockedOn(t, word(r)) {}

BlockedOn::BlockedOn(ThreadCalls *t, std::uintptr_t mark) : t_(t) {
    outer_ = t->blocked_on.load(std::memory_order_relaxed);
    if (outer_ == 0) // no signaller touches an empty mark: a plain store will do
        t->blocked_on.store(mark, std::memory_order_release); // a set's records before it
    else
        outer_ = swap_mark(t, mark); // a handler's wait inside another
    publish_fence(t);                // before the closed check, as the chain store
}

BlockedOn::~BlockedOn() {
    if (swap_mark(t_, outer_) & ThreadCalls::kSent) take_back_wakes();
    if (outer_ != 0) zero_limit(t_); // the outer wait looks again
}

// The wake signal open around one read(2), if the thread's mask blocks it.
// error() is why it could not be: a read that no wake reaches is not made.
class WakeOpen {
public:
    WakeOpen() {
        sigset_t now;
        err_ = pthread_sigmask(SIG_BLOCK, nullptr, &now);
        opened_ = err_ == 0 && wake_blocked_in(now);
        if (opened_) err_ = open_wake(true);
        opened_ = opened_ && err_ == 0;
    }
    ~WakeOpen() {
        if (opened_) open_wake(false);
    }
    WakeOpen(const WakeOpen &) = delete;
    WakeOpen &operator=(const WakeOpen &) = delete;
    int error() const { return err_; }

private:
    int err_;
    bool opened_;
};

ssize_t interruptible_read(Record *r, void *to, std::size_t n) {
    WakeOpen open;
    if (open.error() != 0) { // the caller raises it: nothing read, the mask as it was
        errno = open.error();
        return -1;
    }
    BlockedOn blocked(this_thread, r);
    if (r->closed()) { // a close that missed blocked_on: it is seen here
        errno = EINTR;
        return -1;
    }
    return ::read(r->pub.fd, to, n);
}

ssize_t interruptible_write(Record *r, const void *from, std::size_t n) {
    WakeOpen open;
    if (open.error() != 0) { // the caller raises it: nothing written, the mask as it was
        errno = open.error();
        return -1;
    }
    BlockedOn blocked(this_thread, r);
    if (r->closed()) { // a close that missed blocked_on: it is seen here
        errno = EINTR;
        return -1;
    }
    return ::write(r->pub.fd, from, n);
}

} // namespace zelt::rt

bool zelt::test_hooks::close_scanned(zl_value io) {
    rt::TableLock lock; // the close marks and scans under it
    return reinterpret_cast<rt::Record *>(zl_io_record(io))->closed();
}

bool zelt::test_hooks::calls_name(zl_value io) {
    const auto *r = reinterpret_cast<rt::Record *>(zl_io_record(io));
    const rt::ThreadCalls *t = rt::this_thread;
    for (unsigned d = 0; t && d < t->depth; ++d)
        if (t->chain[d].load(std::memory_order_relaxed) == r) return true;
    return false;
}

bool zelt::test_hooks::calls_fence() { // this thread's calls, once it has made one
    const rt::ThreadCalls *t = rt::registered_thread();
    return t ? t->plain_below.load(std::memory_order_relaxed) == 0
             : rt::fenced.load(std::memory_order_relaxed);
}

void zelt::signal_mask_changed() {} // each wait reads the mask as it is: nothing to note
