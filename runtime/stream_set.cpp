// stream_set.cpp: waiting for input on several streams at once, cut short by
// a close of any of them or by input another thread's read buffers there.
//
// The protocol, beside the one of in_flight.cpp (whose words it shares):
// - Waiter: before it looks at any of the streams (closed, buffered, the
//   kernel), the thread stores blocked_on = S | kSetMark, S being a
//   StreamSet in its own frame that lists the records; then the fence a
//   chain store takes; then, a wait for input, it counts itself in
//   set_sleepers (seq_cst). From then on S names every record in it: a
//   close owes the release of their descriptors to the wait, and signals
//   the thread as it signals one blocked on a single record. Each round, as
//   a wait on one stream does, it stores its limit in wait_left (a far one
//   for none), then (a signal fence) looks: closed, then buffered, then the
//   kernel's ppoll with that limit and the mask read once at the wait's
//   start, the wake signal open. A wake zeroes the limit: the ppoll returns
//   at once (0) or with EINTR, and the wait looks again; only closed,
//   buffered, readiness or its own deadline end it. A zero limit looks
//   once, the other way round: under the mark the ppoll first (it never
//   sleeps, so no wake can be lost), then one pass over the records,
//   closed, then buffered, then the revents. On every way out (return,
//   exception, the forced unwind of a cancellation) it clears the mark
//   (BlockedOn: it waits while a signaller holds kSending, and takes back a
//   wake it was sent), fences, then gives each closed record to
//   leave_closed, which releases it when no other call names it.
// - Closer and fill: under the table's lock. A mark with kSetMark is claimed
//   (CAS adding kSending) before the set is read, and put back as it was,
//   or with kSent after a send: the waiter cannot clear its mark meanwhile,
//   so its frame, and S with it, stays. Nobody else sets kSending outside
//   the lock, so a claim under it never finds one.
// - Answer: a closed record is answered as closed and its revents are never
//   read; so a number that a new stream takes after the release is never
//   reported. (The zero-limit look may poll a number released before its
//   mark: a close that did not see the mark is seen by the closed checks,
//   which follow the mark and its fence, as before the ppoll.) While the
//   mark stands no record in S is released, so a revents the ppoll gave
//   belongs to the stream it was asked of.
// - Fill: a read that buffers input wakes the sleepers of its record; a set
//   for input counts itself in set_sleepers instead of in each record's
//   count (one atomic per wait, not one per stream), and the fill looks at
//   both; its rounds go on while one finds such a set naming the record
//   (StreamSet::input, read under the claim). A wait for room alone takes a
//   spare wake at most.
// - Nesting: a handler's wait inside a set wait swaps the mark (BlockedOn)
//   and puts it back, zeroing the limit so the set wait looks again; meanwhile the
//   set names nothing, and a record closed then may be released: the set
//   wait answers it as closed, before any revents, as above.
// tests/model/close_protocol.pml models one waiter on a set of two records.
#include "internal.hpp"
#include "wait_clock.hpp" // now_ns, to_timespec, kForeverSec, kSigsetBytes

#include <cerrno>         // EINTR, EINVAL, EBADF
#include <cstdint>        // int64_t, uint64_t: the kernel's mask
#include <ctime>          // clock_gettime
#include <memory>         // unique_ptr, make_unique_for_overwrite: a large set's arrays
#include <poll.h>         // pollfd, POLLIN, POLLHUP, POLLERR, POLLNVAL
#include <pthread.h>      // pthread_testcancel
#include <span>           // the records and their pollfds
#include <sys/syscall.h>  // SYS_ppoll
#include <unistd.h>       // syscall
#include <utility>        // move: the streams found become the answer
#include <vector>         // the streams found
#include <zelt/embed.hpp> // array: the answer

namespace zelt::rt {

std::atomic<int> set_sleepers{0};

struct SetSpare { // no zeroing: every wait writes what it reads
    explicit SetSpare(std::size_t n)
        : room(n), records(std::make_unique_for_overwrite<Record *[]>(n)),
          fds(std::make_unique_for_overwrite<pollfd[]>(n)) {}
    std::size_t room;
    std::unique_ptr<Record *[]> records;
    std::unique_ptr<pollfd[]> fds;
};

namespace {

constexpr std::uintptr_t kMarkFlags = ThreadCalls::kSending | ThreadCalls::kSent | kSetMark;

const StreamSet *set_of(std::uintptr_t mark) {
    return reinterpret_cast<const StreamSet *>(mark & ~kMarkFlags);
}

bool holds(const StreamSet *s, const Record *r) {
    if (s->selector) return selector_holds(s->selector, r); // under the table's lock
    for (std::size_t i = 0; i < s->count; ++i)
        if (s->records[i] == r) return true;
    return false;
}

// The kernel's ppoll, which reads LIMIT at its entry: a wake that zeroes it
// up to the last instruction counts (see in_flight.cpp, Limit).
int ppoll_now(std::span<pollfd> fds, timespec *limit, const std::uint64_t *mask) {
    pthread_testcancel();
    const long ready = syscall(SYS_ppoll, fds.data(), fds.size(), limit, mask, kSigsetBytes);
    if (ready < 0 && errno == EINTR) pthread_testcancel(); // a cancel that interrupted it
    return static_cast<int>(ready);
}

// Counts a set wait that input ends among the sleepers a fill must wake.
class SetSleeper {
public:
    explicit SetSleeper(bool input) : input_(input) {
        if (input_) set_sleepers.fetch_add(1, std::memory_order_seq_cst); // after the mark
    }
    ~SetSleeper() {
        if (input_) set_sleepers.fetch_sub(1, std::memory_order_relaxed); // a spare wake at most
    }
    SetSleeper(const SetSleeper &) = delete;
    SetSleeper &operator=(const SetSleeper &) = delete;

private:
    bool input_;
};

// On the way out, once the mark is cleared: each closed record's release,
// if the close owed it to this wait.
class LeaveClosed {
public:
    LeaveClosed(ThreadCalls *t, std::span<Record *const> records) : t_(t), records_(records) {}
    ~LeaveClosed() {
        publish_fence(t_); // the mark's clear before the closed checks
        for (Record *r : records_)
            if (r->closed()) leave_closed(r);
    }
    LeaveClosed(const LeaveClosed &) = delete;
    LeaveClosed &operator=(const LeaveClosed &) = delete;

private:
    ThreadCalls *t_;
    std::span<Record *const> records_;
};

// The wait's events: KEVENTS when it is not 0 (POLLIN, the usual wait, whose
// loops then test constants), else EVENTS as given.
template <int kEvents> constexpr int events_of(int events) { return kEvents ? kEvents : events; }

// Whether R's buffers answer EVENTS with no system call: input held for a
// wait for readable, room to write into for a wait for writable.
template <int kEvents> bool buffered(Record *r, int events) {
    const int ev = events_of<kEvents>(events);
    if ((ev & POLLIN) && r->pending.load(std::memory_order_seq_cst) > 0) return true;
    return (ev & POLLOUT) && zl_io_write_room(&r->pub) > 0;
}

// Adds to READY each stream closed, buffered or (POLLED) reported by the
// kernel for EVENTS, in that order: a closed record's revents are not read;
// false, errno EBADF, for a descriptor closed behind the runtime's back.
template <int kEvents>
bool answer(const zl_value *ios, std::span<Record *const> records, std::span<const pollfd> fds,
            bool polled, int events, std::vector<zl_value> &ready) {
    const int wanted = events_of<kEvents>(events) | POLLHUP | POLLERR; // as a read would not wait
    for (std::size_t i = 0; i < records.size(); ++i) {
        Record *r = records[i];
        if (r->closed() || buffered<kEvents>(r, events)) {
            ready.push_back(ios[i]);
        } else if (polled && fds[i].revents) {
            if (fds[i].revents & POLLNVAL) [[unlikely]] {
                errno = EBADF;
                return false;
            }
            if (fds[i].revents & wanted) ready.push_back(ios[i]);
        }
    }
    return true;
}

// The streams found, as an Array; failure raised, with nothing made.
zl_value found(std::vector<zl_value> &ready, bool ok) {
    if (!ok) zl_sys_fail(nullptr);
    return ready.empty() ? ZL_NIL : zelt::array(std::move(ready)); // its storage, not a copy
}

// The set's records and their pollfds: in the frame for a few streams, and
// for more the arrays the thread's entry kept from its last large set wait
// (grown when they are short), so that a wait allocates only its answer.
class SetArrays {
public:
    SetArrays(ThreadCalls *t, std::size_t n) : t_(t) {
        if (n <= kInline) {
            records = {inline_records_, n};
            fds = {inline_fds_, n};
            return;
        }
        // Taken whole: a handler's wait nested in this one finds none.
        spare_ = t->set_spare.exchange(nullptr, std::memory_order_relaxed);
        if (!spare_ || spare_->room < n) {
            delete spare_;
            spare_ = nullptr;
            spare_ = new SetSpare(n);
        }
        records = {spare_->records.get(), n};
        fds = {spare_->fds.get(), n};
    }
    ~SetArrays() { // back to the entry; what a nested wait left there goes
        if (spare_) delete t_->set_spare.exchange(spare_, std::memory_order_relaxed);
    }
    SetArrays(const SetArrays &) = delete;
    SetArrays &operator=(const SetArrays &) = delete;

    std::span<Record *> records;
    std::span<pollfd> fds;

private:
    static constexpr std::size_t kInline = 16;
    ThreadCalls *t_;
    SetSpare *spare_ = nullptr;
    Record *inline_records_[kInline];
    pollfd inline_fds_[kInline];
};

// IO's record, checked as a wait for EVENTS needs it: an IO (TypeError),
// open, and open for reading or writing as EVENTS asks (IOError). The
// exported checks raise; each is called only when it will.
template <int kEvents> Record *checked_record(zl_value io, int events) {
    events = events_of<kEvents>(events);
    if (!is_heap_of(io, Type::IO)) [[unlikely]]
        zl_io_taint_check(io);
    zl_openfile *rec = zl_io_record(io);
    auto *r = reinterpret_cast<Record *>(rec);
    if (!rec || r->closed()) [[unlikely]] {
        zl_io_check_closed(rec); // raises: a stream never opened, or closed
        __builtin_unreachable();
    }
    if ((events & (POLLIN | POLLPRI)) && !r->readable) [[unlikely]]
        zl_io_check_readable(rec);
    if ((events & POLLOUT) && !r->writable) [[unlikely]]
        zl_io_check_writable(rec);
    return r;
}

// A zero limit: one look, which never sleeps, so no mask read, no sleeper
// counted and no clock; a wake sent meanwhile is taken back as the mark is
// cleared. The mark stays: under it no record of the set is released, so a
// revents belongs to the stream it was asked of. The records are read after
// the kernel's answer, so that one pass over them tells closed, buffered and
// ready: a close that did not see the mark is seen there (the checks follow
// the mark and its fence, wherever the ppoll falls), and the record, whose
// number the ppoll may have found released or taken, is answered as closed,
// its revents unread.
template <int kEvents>
zl_value look_once(ThreadCalls *t, const zl_value *ios, std::span<Record *> records,
                   std::span<pollfd> fds, int events) {
    const StreamSet set{records.data(), records.size(), nullptr, (events & POLLIN) != 0};
    LeaveClosed leave(t, records); // after the mark is cleared
    std::vector<zl_value> ready;
    bool ok = true;
    int err = 0;
    {
        BlockedOn blocked(t, &set);
        std::atomic_signal_fence(std::memory_order_seq_cst); // the mark, then the look
        timespec zero{0, 0};
        const int polled = ppoll_now(fds, &zero, nullptr); // the wake signal stays blocked
        ok = polled >= 0 || errno == EINTR; // EINTR: the kernel's look as nothing found
        if (ok) ok = answer<kEvents>(ios, records, fds, polled > 0, events, ready);
        if (!ok) err = errno;
    }
    errno = err;
    return found(ready, ok);
}

// The wait itself, the checks of its arguments done.
template <int kEvents>
zl_value wait_streams(const zl_value *ios, long n, int events, timeval *limit) {
    ThreadCalls *t = registered_thread();
    if (!t) t = register_thread();
    SetArrays arrays(t, static_cast<std::size_t>(n));
    const std::span<Record *> records = arrays.records;
    const std::span<pollfd> fds = arrays.fds;
    bool held = false; // input buffered, or room to write
    // One pass: the checks, the set, and the buffers first.
    for (std::size_t i = 0; i < records.size(); ++i) {
        Record *r = checked_record<kEvents>(ios[i], events);
        records[i] = r;
        fds[i] = {r->pub.fd, static_cast<short>(events), 0};
        held |= buffered<kEvents>(r, events);
    }
    std::vector<zl_value> ready;
    if (held) { // answered with no system call
        answer<kEvents>(ios, records, fds, false, events, ready);
        return found(ready, true);
    }
    if (limit && limit->tv_sec == 0 && limit->tv_usec == 0)
        return look_once<kEvents>(t, ios, records, fds, events);
    const bool bounded = limit && limit->tv_sec < kForeverSec;
    int64_t rest = bounded ? limit->tv_sec * kNsecPerSec + limit->tv_usec * 1000
                           : kForeverSec * kNsecPerSec; // far for none
    const int64_t deadline = bounded ? now_ns() + rest : 0;
    const std::uint64_t mask = wait_mask(); // the thread's own now, the wake signal open
    const StreamSet set{records.data(), records.size(), nullptr, (events & POLLIN) != 0};
    LeaveClosed leave(t, records); // after the mark is cleared
    bool ok = true;
    int err = 0; // the failure's errno, past the mark's clear
    {
        BlockedOn blocked(t, &set);
        SetSleeper sleeper((events & POLLIN) != 0); // after the mark: a fill that counts it sees it
        for (;;) {
            t->wait_left = to_timespec(rest);
            std::atomic_signal_fence(std::memory_order_seq_cst); // the limit, then the checks
            ok = answer<kEvents>(ios, records, fds, false, events, ready); // never fails unpolled
            if (!ready.empty()) break;                                     // closed, or buffered
            const int polled = ppoll_now(fds, &t->wait_left, &mask);
            if (polled < 0 && errno != EINTR) {
                ok = false;
                err = errno;
                break;
            }
            if (polled > 0) {
                ok = answer<kEvents>(ios, records, fds, true, events, ready);
                if (!ok) err = errno;
                if (!ok || !ready.empty()) break;
            }
            if (!bounded) continue; // woken, or a signal: look again
            rest = deadline - now_ns();
            if (rest <= 0) break; // a signal neither cuts the wait short nor stretches it
        }
    }
    errno = err;
    return found(ready, ok);
}

} // namespace

BlockedOn::BlockedOn(ThreadCalls *t, const StreamSet *s)
    : BlockedOn(t, reinterpret_cast<std::uintptr_t>(s) | kSetMark) {}

bool claimed_names(std::uintptr_t mark, const Record *r) {
    if (!(mark & kSetMark)) return (mark & ~kMarkFlags) == reinterpret_cast<std::uintptr_t>(r);
    return holds(set_of(mark), r);
}

bool claimed_set_for_input(std::uintptr_t mark) { return (mark & kSetMark) && set_of(mark)->input; }

bool set_names(ThreadCalls *t, const Record *r) { // under the table's lock
    std::uintptr_t w = t->blocked_on.load(std::memory_order_acquire);
    do {
        if (!(w & kSetMark)) return false;
    } while (!t->blocked_on.compare_exchange_weak(w, w | ThreadCalls::kSending,
                                                  std::memory_order_acq_rel));
    // A selector's wait never reads a number: it owes no release (selector.cpp).
    const bool named = !set_of(w)->selector && holds(set_of(w), r);
    t->blocked_on.store(w, std::memory_order_release); // the waiter may leave
    return named;
}

} // namespace zelt::rt

using namespace zelt::rt;

extern "C" zl_value zl_wait_for_streams(const zl_value *ios, long n, int events, timeval *limit) {
    if (n <= 0) raise(eArgumentError, "no streams to wait on");
    if (limit && (limit->tv_sec < 0 || limit->tv_usec < 0 || limit->tv_usec >= 1000000))
        raise(eArgumentError, "invalid time limit");
    return events == POLLIN ? wait_streams<POLLIN>(ios, n, events, limit)
                            : wait_streams<0>(ios, n, events, limit);
}
