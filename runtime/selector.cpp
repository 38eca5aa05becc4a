// selector.cpp: selectors, sets of streams registered once and waited on
// many times, over the kernel's epoll: a wait costs in proportion to the
// streams that are ready, not to those registered.
//
// Each registration is an entry that links a record and a selector; the
// kernel's interest set carries the entry, never the descriptor number, as
// its data. Ready without the kernel: a selector keeps a stack of entries to
// answer with no system call (input buffered by the runtime's reads, a
// regular file, a stream closed since the last wait), pushed by whoever
// notices and popped whole by the waiter.
//
// The protocol, beside the ones of in_flight.cpp and stream_set.cpp, whose
// mark and wake it reuses:
// - Lists: a record's entries and a selector's entries change only under the
//   thread table's lock (registration, removal, a close, a fill, the
//   selector's close), which blocks signals and cancellation, so a close
//   from a handler never meets a list half changed. An entry's `state`
//   (queued, closed, dead, always) is atomic; the stack is pushed with a CAS
//   by anyone and popped (taken whole) only by the selector's one waiter.
// - Close: under the lock, before the barrier and before the descriptor can
//   be released, EPOLL_CTL_DEL of the number while it is still the record's
//   (the kernel keys its interest on the open file, which a dup or a fork
//   child keeps alive: a closed number left there would go on reporting),
//   then the entry marked closed and pushed. Then, as for any close, the
//   barrier and the sends: a waiter whose mark names the selector is
//   signalled when the record is one of its entries (selector_holds).
// - Fill: a read that buffers input on a registered record (r->selected,
//   read after its seq_cst store of pending; a registration increments it
//   before it loads pending) pushes each of its entries not queued, then
//   sends to the waiters as for any fill (rounds until none is blocked).
// - Waiter: one per selector (a CAS claims it; a second raises). It pops
//   the stack and answers what is closed, buffered or always ready, with no
//   system call; else it looks once with a zero limit. To block it stores
//   its mark (BlockedOn: the selector's StreamSet | kSetMark), a full
//   fence, then each round its limit, then pops, then epoll_pwait2 with
//   that limit read at entry and its mask, the wake signal open. A close or
//   a fill pushes (a locked CAS) before it reads the mark; the waiter
//   stores the mark and fences before it pops: one of the two sees the
//   other (the close's barrier would order the mark too; the fill has
//   none). A wake zeroes the limit. The fallback, epoll_pwait, reads the
//   limit before the call: a wake taken in between by a thread whose mask
//   leaves the signal open is spent, and the next round of the close's or
//   the fill's sends ends the wait.
// - Answer: an event's entry is read from the kernel's data; closed or dead
//   ones are skipped there (a closed one is answered once from the stack, as
//   closed, then freed), so no number is ever looked up and none that
//   another stream took meanwhile is reported. The selector's wait owes no
//   descriptor release (set_names): it never reads a number.
// - Freeing an entry: a removal (deregister, the IO's release) unlinks it
//   and marks it dead; an entry still queued is the popper's to free; one
//   that a waiter may hold from the kernel's answer (a waiter was there) is
//   retired, and freed under the lock once no waiter is: by the waiter on
//   its way out, or, if it left as the entry was retired, by the next
//   registration, removal, wait's end or the selector's close.
// - Fork: the child's epoll descriptor names the parent's instance, whose
//   interest list the child must not change. A selector made before a fork
//   refuses every call in the child but its close and release, which close
//   the child's descriptor only; a close of a registered stream there takes
//   no entry out of the kernel's list (the parent's number still names the
//   open file). A selector made in the child is the child's.
// - Exit: nothing freed; cancellation: epoll_pwait2 is a cancellation
//   point, and every mark, claim and popped entry is given back by the
//   unwind. Signals: EINTR looks again with the time left.
// tests/model/close_protocol.pml's SELECTOR configurations check the mark,
// the stack, the close's DEL before the release, the fill, the events and
// the limit over every interleaving (tests/model/README.md).
#include "internal.hpp"
#include "test_hooks/test_hooks.hpp" // selector_descriptor
#include "wait_clock.hpp"            // now_ns, to_timespec, kForeverSec, kSigsetBytes

#include <algorithm>      // std::min: a limit in milliseconds
#include <cerrno>         // EINTR, EPERM, EINVAL, ENOSYS
#include <cstdint>        // int64_t, uint64_t: the kernel's mask
#include <ctime>          // clock_gettime
#include <pthread.h>      // pthread_testcancel
#include <sys/epoll.h>    // epoll_create1, epoll_ctl, epoll_event
#include <sys/syscall.h>  // SYS_epoll_pwait2, SYS_epoll_pwait
#include <unistd.h>       // close, syscall
#include <utility>        // move: the answer's values into its Array
#include <vector>         // the answer, and what a wait frees
#include <zelt/embed.hpp> // array: the answer

namespace zelt::rt {

struct SelectorEntry {
    zl_selector *sel;
    Record *r;
    zl_value io;
    SelectorEntry *rec_prev = nullptr, *rec_next = nullptr; // R's entries; the table's lock
    SelectorEntry *sel_prev = nullptr, *sel_next = nullptr; // SEL's (retired: its next)
    SelectorEntry *ready_next = nullptr;                    // on SEL's stack while queued
    std::atomic<unsigned> state{0};
    std::uint64_t answered = 0; // the waiter's round that answered it
};

namespace {
constexpr unsigned kQueued = 1, kClosed = 2, kDead = 4, kAlways = 8;
constexpr int kBatch = 64; // events taken per look: a wait's cost follows the ready ones
} // namespace

} // namespace zelt::rt

struct zl_selector {
    int epfd;
    std::uint32_t generation;                              // fork_generation at its making
    std::atomic<bool> closed{false};                       // set under the table's lock
    std::atomic<zelt::rt::SelectorEntry *> ready{nullptr}; // answered with no system call
    zelt::rt::SelectorEntry *entries = nullptr;            // the table's lock
    std::atomic<long> open{0};                  // entries not closed; changed under the lock
    zelt::rt::SelectorEntry *retired = nullptr; // the table's lock
    std::atomic<bool> any_retired{false};
    std::atomic<zelt::rt::ThreadCalls *> waiter{nullptr};
    zelt::rt::StreamSet set{nullptr, 0, this}; // the waiter's mark names it
    std::uint64_t round = 0;                   // the waiter's
    epoll_event events[zelt::rt::kBatch];      // the waiter's
};

namespace zelt::rt {
namespace {

bool in_child(const zl_selector *s) { return s->generation != fork_generation; }

void push(zl_selector *s, SelectorEntry *e) {
    SelectorEntry *top = s->ready.load(std::memory_order_relaxed);
    do e->ready_next = top;
    while (!s->ready.compare_exchange_weak(top, e, std::memory_order_seq_cst,
                                           std::memory_order_relaxed));
}

// Pushes E unless it is queued already or removed.
void queue(SelectorEntry *e, unsigned also = 0) {
    unsigned st = e->state.load(std::memory_order_relaxed);
    do
        if (st & kDead) return;
    while (!e->state.compare_exchange_weak(st, st | kQueued | also, std::memory_order_seq_cst));
    if (!(st & kQueued)) push(e->sel, e);
}

void unlink_entry(SelectorEntry *e) { // under the lock
    Record *r = e->r;
    (e->rec_prev ? e->rec_prev->rec_next : r->selections) = e->rec_next;
    if (e->rec_next) e->rec_next->rec_prev = e->rec_prev;
    (e->sel_prev ? e->sel_prev->sel_next : e->sel->entries) = e->sel_next;
    if (e->sel_next) e->sel_next->sel_prev = e->sel_prev;
    r->selected.fetch_sub(1, std::memory_order_relaxed);
}

void link_entry(SelectorEntry *e) { // under the lock
    e->rec_next = e->r->selections;
    if (e->rec_next) e->rec_next->rec_prev = e;
    e->r->selections = e;
    e->sel_next = e->sel->entries;
    if (e->sel_next) e->sel_next->sel_prev = e;
    e->sel->entries = e;
}

void free_retired(zl_selector *s) {                        // under the lock
    if (s->waiter.load(std::memory_order_seq_cst)) return; // it may hold one from the kernel
    for (SelectorEntry *e = s->retired; e;) {
        SelectorEntry *next = e->sel_next;
        delete e;
        e = next;
    }
    s->retired = nullptr;
    s->any_retired.store(false, std::memory_order_relaxed);
}

// Under the lock: E out of its selector and its record, its interest with it
// (DEL while its number is still its record's: it is not closed).
void remove(SelectorEntry *e) {
    zl_selector *s = e->sel;
    const unsigned st = e->state.load(std::memory_order_relaxed);
    if (!(st & (kClosed | kAlways)) && !in_child(s))
        ::epoll_ctl(s->epfd, EPOLL_CTL_DEL, e->r->pub.fd, nullptr);
    if (!(st & kClosed)) s->open.fetch_sub(1, std::memory_order_relaxed);
    unlink_entry(e);
    if (e->state.fetch_or(kDead, std::memory_order_seq_cst) & kQueued) return; // the popper's
    if (s->waiter.load(std::memory_order_seq_cst)) { // its answer may hold E: later
        e->sel_next = s->retired;
        s->retired = e;
        s->any_retired.store(true, std::memory_order_relaxed);
        return;
    }
    delete e;
}

SelectorEntry *entry_in(const zl_selector *s, const Record *r) { // under the lock
    for (SelectorEntry *e = r->selections; e; e = e->rec_next)
        if (e->sel == s) return e;
    return nullptr;
}

// Every entry gone and the descriptor closed; under the lock, no waiter.
void shut(zl_selector *s) {
    for (SelectorEntry *e = s->ready.exchange(nullptr); e;) { // dead ones are the popper's
        SelectorEntry *next = e->ready_next;
        if (e->state.fetch_and(~kQueued) & kDead) delete e;
        e = next;
    }
    for (SelectorEntry *e = s->entries; e;) {
        SelectorEntry *next = e->sel_next;
        unlink_entry(e); // out of its record's list too
        delete e;
        e = next;
    }
    for (SelectorEntry *e = s->retired; e;) { // no waiter: the close holds its claim
        SelectorEntry *next = e->sel_next;
        delete e;
        e = next;
    }
    s->retired = nullptr;
    s->open.store(0, std::memory_order_relaxed);
    s->closed.store(true, std::memory_order_relaxed);
    ::close(s->epfd); // in a fork child, the child's reference alone: the parent's stays whole
}

[[noreturn, gnu::cold]] void refuse(const char *why) { raise(eIOError, why); }

void check_usable(const zl_selector *s) {
    if (s->closed.load(std::memory_order_relaxed)) refuse("closed selector");
    if (in_child(s)) refuse("selector made before a fork, in the parent's process");
}

Record *readable_record(zl_value io) {
    zl_openfile *rec = zl_io_record(zl_io_taint_check(io));
    zl_io_check_closed(rec);
    zl_io_check_readable(rec);
    return reinterpret_cast<Record *>(rec);
}

// The waiter's claim on S, for one wait; given back on every way out, with
// what was retired meanwhile freed.
class Turn {
public:
    Turn(zl_selector *s, ThreadCalls *t) : s_(s) {
        ThreadCalls *none = nullptr;
        if (!s->waiter.compare_exchange_strong(none, t, std::memory_order_seq_cst))
            refuse("another thread waits on this selector");
    }
    ~Turn() {
        s_->waiter.store(nullptr, std::memory_order_release); // its entries' last use before
        if (s_->any_retired.load(std::memory_order_relaxed)) {
            TableLock lock;
            free_retired(s_);
        }
    }
    Turn(const Turn &) = delete;
    Turn &operator=(const Turn &) = delete;

private:
    zl_selector *s_;
};

// One wait's answer, and the entries it frees on its way out: those closed
// it answered (once: then out of the selector) and those removed while
// queued, which the pop made its own.
class Round {
public:
    explicit Round(zl_selector *s) : s_(s), n_(++s->round) {}
    ~Round() {
        for (SelectorEntry *e : gone) delete e;
        if (closed.empty()) return;
        TableLock lock;
        for (SelectorEntry *e : closed) {
            if (e->state.load(std::memory_order_relaxed) & kDead) continue; // removed: retired
            unlink_entry(e);
            delete e;
        }
    }
    Round(const Round &) = delete;
    Round &operator=(const Round &) = delete;

    void answer(SelectorEntry *e) {
        if (e->answered == n_) return; // from the stack and from the kernel both
        e->answered = n_;
        ready.push_back(e->io);
    }

    // Pops the stack: what is closed, buffered or always ready is answered,
    // and what still is stays queued. True when any was. The usual case, an
    // empty stack, inline: the pop's frame and its vector only when it pops.
    bool take_ready() {
        if (!s_->ready.load(std::memory_order_seq_cst)) [[likely]]
            return !ready.empty();
        return pop_ready();
    }

    [[gnu::noinline]] bool pop_ready() {
        for (SelectorEntry *e = s_->ready.exchange(nullptr, std::memory_order_seq_cst); e;) {
            SelectorEntry *next = e->ready_next;
            const unsigned st = e->state.fetch_and(~kQueued, std::memory_order_seq_cst);
            if (st & kDead) {
                gone.push_back(e);
            } else if (st & kClosed) {
                answer(e);
                closed.push_back(e);
            } else if ((st & kAlways) || e->r->pending.load(std::memory_order_seq_cst) > 0) {
                answer(e);
                queue(e); // level-triggered: until it is read (the stack taken is ours alone)
            }
            e = next;
        }
        return !ready.empty();
    }

    bool take_events(int n) {
        for (int i = 0; i < n; ++i) {
            auto *e = static_cast<SelectorEntry *>(s_->events[i].data.ptr);
            if (e->state.load(std::memory_order_acquire) & (kClosed | kDead)) continue; // no number
            answer(e);
        }
        return take_ready() || !ready.empty();
    }

    zl_value found() { return ready.empty() ? ZL_NIL : zelt::array(std::move(ready)); } // no copy

    std::vector<zl_value> ready;
    std::vector<SelectorEntry *> closed, gone;

private:
    zl_selector *s_;
    std::uint64_t n_;
};

std::atomic<bool> no_pwait2{false}; // the kernel (or an emulator) lacks epoll_pwait2

// epoll_pwait2 as the kernel makes it: the limit read at its entry, so a
// wake that zeroes it up to the last instruction counts. Where it is missing,
// epoll_pwait, its limit in milliseconds rounded up and read before the
// call: a wake's signal, blocked until the call opens the mask, still ends it.
int epoll_now(zl_selector *s, timespec *limit, const std::uint64_t *mask) {
    const long mask_bytes = mask ? kSigsetBytes : 0;
    if (!no_pwait2.load(std::memory_order_relaxed)) {
        const long n =
            syscall(SYS_epoll_pwait2, s->epfd, s->events, kBatch, limit, mask, mask_bytes);
        if (n >= 0 || errno != ENOSYS) return static_cast<int>(n);
        no_pwait2.store(true, std::memory_order_relaxed);
    }
    int ms = -1; // no limit
    if (limit) {
        const int64_t whole = int64_t{limit->tv_sec} * 1000 + (limit->tv_nsec + 999999) / 1000000;
        ms = static_cast<int>(std::min<int64_t>(whole, INT32_MAX));
    }
    return static_cast<int>(
        syscall(SYS_epoll_pwait, s->epfd, s->events, kBatch, ms, mask, mask_bytes));
}

int blocking_look(zl_selector *s, timespec *limit, const std::uint64_t *mask) {
    pthread_testcancel();
    const int n = epoll_now(s, limit, mask);
    if (n < 0 && errno == EINTR) pthread_testcancel(); // a cancel that interrupted it
    return n;
}

} // namespace

void selectors_close(Record *r) {
    for (SelectorEntry *e = r->selections; e; e = e->rec_next) {
        const unsigned st = e->state.load(std::memory_order_relaxed);
        if (st & kClosed) continue;
        zl_selector *s = e->sel;
        if (!(st & kAlways) && !in_child(s)) // while the number is still R's
            ::epoll_ctl(s->epfd, EPOLL_CTL_DEL, r->pub.fd, nullptr);
        s->open.fetch_sub(1, std::memory_order_relaxed);
        queue(e, kClosed);
    }
}

void selectors_fill(Record *r) {
    for (SelectorEntry *e = r->selections; e; e = e->rec_next)
        if (!(e->state.load(std::memory_order_relaxed) & kClosed)) queue(e);
}

void selectors_forget(Record *r) {
    TableLock lock;
    for (SelectorEntry *e = r->selections; e;) {
        SelectorEntry *next = e->rec_next;
        remove(e);
        e = next;
    }
}

bool selector_holds(const zl_selector *s, const Record *r) { return entry_in(s, r) != nullptr; }

} // namespace zelt::rt

using namespace zelt::rt;

extern "C" {

zl_selector *zl_selector_new(void) {
    const int fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) zl_sys_fail("a selector's epoll descriptor");
    auto *s = new zl_selector;
    s->epfd = fd;
    s->generation = fork_generation;
    return s;
}

void zl_selector_close(zl_selector *s) {
    if (s->closed.load(std::memory_order_relaxed)) return;
    ThreadCalls *none = nullptr; // the waiter's claim, held while it closes: no wait starts
    if (!s->waiter.compare_exchange_strong(none, &unregistered, std::memory_order_seq_cst))
        refuse("a thread waits on this selector");
    {
        TableLock lock;
        if (!s->closed.load(std::memory_order_relaxed)) shut(s);
    }
    s->waiter.store(nullptr, std::memory_order_seq_cst);
}

void zl_selector_free(zl_selector *s) {
    {
        TableLock lock;
        if (!s->closed.load(std::memory_order_relaxed)) shut(s);
    }
    delete s;
}

int zl_selector_add(zl_selector *s, zl_value io) {
    Record *r = readable_record(io);
    check_usable(s);
    auto *e = new SelectorEntry{s, r, io};
    const char *refused = nullptr;
    int err = 0;
    bool added = false;
    {
        TableLock lock;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.ptr = e;
        if (r->closed()) { // closed meanwhile: the number may be released
            refused = "closed stream";
        } else if (s->closed.load(std::memory_order_relaxed)) {
            refused = "closed selector";
        } else if (entry_in(s, r)) { // registered already: once is enough
        } else if (::epoll_ctl(s->epfd, EPOLL_CTL_ADD, r->pub.fd, &ev) == 0) {
            added = true;
        } else if (errno == EPERM) { // a file the kernel cannot watch: a read never waits there
            e->state.store(kAlways, std::memory_order_relaxed);
            added = true;
        } else {
            err = errno;
        }
        if (added) {
            link_entry(e);
            s->open.fetch_add(1, std::memory_order_relaxed);
            r->selected.fetch_add(1, std::memory_order_seq_cst); // then pending: see the top
            if ((e->state.load(std::memory_order_relaxed) & kAlways) ||
                r->pending.load(std::memory_order_seq_cst) > 0)
                queue(e);
        }
        free_retired(s);
    }
    if (!added) delete e;
    if (refused) refuse(refused);
    if (err) {
        errno = err;
        zl_sys_fail("registering a stream in a selector");
    }
    return added ? 1 : 0;
}

int zl_selector_remove(zl_selector *s, zl_value io) {
    Record *r = reinterpret_cast<Record *>(zl_io_record(zl_io_taint_check(io)));
    check_usable(s);
    TableLock lock;
    SelectorEntry *e = entry_in(s, r);
    if (e) remove(e);
    free_retired(s);
    return e ? 1 : 0;
}

long zl_selector_size(const zl_selector *s) {
    check_usable(s);
    return s->open.load(std::memory_order_relaxed);
}

zl_value zl_selector_wait(zl_selector *s, timeval *limit) {
    if (limit && (limit->tv_sec < 0 || limit->tv_usec < 0 || limit->tv_usec >= 1000000))
        raise(eArgumentError, "invalid time limit");
    check_usable(s);
    ThreadCalls *t = registered_thread();
    if (!t) t = register_thread();
    Turn turn(s, t);
    check_usable(s); // a close that held the claim before ours has finished
    Round round(s);
    // Buffer first: input held here, a file, a close, answered with no system call.
    if (round.take_ready()) return round.found();
    timespec zero = {0, 0};
    const int n = epoll_now(s, &zero, nullptr); // one look, which never sleeps
    if (n < 0 && errno != EINTR) zl_sys_fail(nullptr);
    if (n > 0 && round.take_events(n)) return round.found();
    if (limit && limit->tv_sec == 0 && limit->tv_usec == 0) return round.found();

    const bool bounded = limit && limit->tv_sec < kForeverSec;
    int64_t rest = bounded ? limit->tv_sec * kNsecPerSec + limit->tv_usec * 1000
                           : kForeverSec * kNsecPerSec; // far for none
    const int64_t deadline = bounded ? now_ns() + rest : 0;
    const std::uint64_t mask = wait_mask(); // the thread's own now, the wake signal open
    int err = 0;
    {
        BlockedOn blocked(t, &s->set);
        full_fence(); // the mark before the stack's look: a close or fill pushes, then reads it
        for (;;) {
            t->wait_left = to_timespec(rest);
            std::atomic_signal_fence(std::memory_order_seq_cst); // the limit, then the look
            if (round.take_ready()) break;                       // closed, buffered
            const int got = blocking_look(s, &t->wait_left, &mask);
            if (got < 0 && errno != EINTR) {
                err = errno;
                break;
            }
            if (got > 0 && round.take_events(got)) break;
            if (!bounded) continue; // woken, or a signal: look again
            rest = deadline - now_ns();
            if (rest <= 0) break; // a signal neither cuts the wait short nor stretches it
        }
    }
    if (err) {
        errno = err;
        zl_sys_fail(nullptr);
    }
    return round.found();
}

} // extern "C"

int zelt::test_hooks::selector_descriptor(zl_value selector) {
    return static_cast<const zl_selector *>(as<Data>(selector)->ptr)->epfd;
}
