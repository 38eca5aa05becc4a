// fd_wait.cpp: waiting for one descriptor, cut short only by a close of its
// stream or by input that another thread's read moved into its buffer.
#include "internal.hpp"
#include "wait_clock.hpp" // now_ns, to_timespec, kForeverSec, kSigsetBytes

#include <cerrno>        // EINTR, EBADF, EINVAL
#include <cstdint>       // int64_t, uint64_t: the kernel's mask
#include <ctime>         // clock_gettime
#include <poll.h>        // ppoll, pollfd
#include <pthread.h>     // pthread_testcancel
#include <sys/syscall.h> // SYS_ppoll
#include <unistd.h>      // syscall

using namespace zelt::rt;

namespace {

[[gnu::cold, gnu::noinline]] int bad_descriptor() {
    errno = EBADF;
    return -1;
}

int revents_of(const pollfd &pfd) {
    if (pfd.revents & POLLNVAL) [[unlikely]]
        return bad_descriptor();
    return pfd.revents;
}

// Any call's record for FD, the whole chain scanned: a wait nested in
// another call's, or on another stream than its own call's.
[[gnu::cold, gnu::noinline]] Record *nested_call_record_for(int fd) { return call_record_for(fd); }

// The record of the call whose stream FD is: first the innermost call's, as
// on a method's own wait (the chain's scan, its first turn apart). No call
// on an IO here (depth 0) finds the chain's floor, and the scan finds none.
[[gnu::always_inline]] inline Record *own_call_record_for(int fd) {
    Record *r = innermost_call(this_thread); // never null: before the first call, depth 0
    if (r && r->pub.fd == fd) [[likely]]
        return r;
    return nested_call_record_for(fd);
}

// The one look's limit, made once rather than on each call's stack. Writable:
// the kernel reads a zero limit and writes nothing back, but an emulated
// ppoll writes the limit back whatever it is (the same zeros here), and one
// in read-only memory failed there with EFAULT.
constinit timespec zero_limit_for_look = {0, 0};

// A zero limit: one look, which never sleeps, so no wake, no mask, no mark.
// Without the blocking wait's frame: wait(0) comes here straight from
// zl_wait_for_single_fd. A negative FD, which no stream has and ppoll
// skips, is told only when nothing is ready: off the ready path.
[[gnu::hot, gnu::always_inline]] inline int poll_once(int fd, int events) {
    Record *r = own_call_record_for(fd); // the stream whose method runs here, if FD is its own
    if (r && r->closed()) [[unlikely]]
        return 0; // its number may be another file's now
    pollfd pfd;   // revents: the kernel's, read only when it answered
    pfd.fd = fd;
    pfd.events = static_cast<short>(events);
    // The system call itself, as the blocking wait makes it: the C library's
    // wrapper copies the limit and, once a second thread exists, switches
    // cancellation on and off around it with two locked instructions.
    const int ready =
        static_cast<int>(syscall(SYS_ppoll, &pfd, 1, &zero_limit_for_look, nullptr, kSigsetBytes));
    if (ready <= 0) [[unlikely]] // nothing ready, or failed; a negative FD, which ppoll skips
        return pfd.fd < 0 ? bad_descriptor() : ready; // FD as ppoll left it: nothing kept across
    if (static_cast<unsigned char>(pfd.revents) & POLLNVAL) [[unlikely]] // in the low byte
        return bad_descriptor();
    return pfd.revents;
}

// ppoll as the kernel makes it: the limit read at the call's entry, not a
// copy taken earlier (the C library copies it), so a wake that zeroes it up
// to the last instruction counts. A cancellation point, as ppoll is.
int ppoll_now(pollfd &pfd, timespec *limit, const std::uint64_t *mask) {
    pthread_testcancel();
    const long ready = syscall(SYS_ppoll, &pfd, 1, limit, mask, kSigsetBytes);
    if (ready < 0 && errno == EINTR) pthread_testcancel(); // a cancel that interrupted it
    return static_cast<int>(ready);
}

// A wait on a descriptor that is no stream's of this thread's calls: no
// close can end it, and a signal neither cuts it short nor stretches it.
int wait_plain(pollfd &pfd, const timeval *limit, bool bounded) {
    const int64_t deadline = bounded ? now_ns() + to_ns(*limit) : 0;
    timespec left = bounded ? to_timespec(to_ns(*limit)) : timespec{};
    int ready;
    while ((ready = ppoll(&pfd, 1, bounded ? &left : nullptr, nullptr)) < 0) {
        if (errno != EINTR) return -1;
        if (!bounded) continue;
        const int64_t rest = deadline - now_ns();
        if (rest <= 0) return 0;
        left = to_timespec(rest);
    }
    return ready == 0 ? 0 : revents_of(pfd);
}

// Counts a blocking wait among R's sleepers while it lasts, so that a read
// that fills R's buffer knows to wake it; listed on its thread first, for a
// fill that a handler makes there (see SleepLink).
class Sleeper {
public:
    Sleeper(ThreadCalls *t, Record *r) : t_(t), r_(r), link_{r, t->sleeping} {
        if (!r_) return;
        t->sleeping = &link_;
        std::atomic_signal_fence(std::memory_order_seq_cst); // listed, then counted
        // seq_cst, with the fill's seq_cst store of pending and load of
        // sleepers: either the fill sees this sleeper or it sees the input.
        r_->sleepers.fetch_add(1, std::memory_order_seq_cst);
    }
    ~Sleeper() {
        if (!r_) return;
        r_->sleepers.fetch_sub(1, std::memory_order_relaxed); // a spare wake-up at most
        std::atomic_signal_fence(std::memory_order_seq_cst);  // counted out, then unlisted
        t_->sleeping = link_.outer;
    }
    Sleeper(const Sleeper &) = delete;
    Sleeper &operator=(const Sleeper &) = delete;
    bool buffered() const { return r_ && r_->pending.load(std::memory_order_seq_cst) > 0; }

private:
    ThreadCalls *t_;
    Record *r_;
    SleepLink link_;
};

} // namespace

namespace zelt::rt {

int wait_fd(int fd, int events, const timeval *limit, bool wake_on_buffer) {
    if (fd < 0) return bad_descriptor(); // ppoll would skip it and wait for nothing
    if (limit && (limit->tv_sec < 0 || limit->tv_usec < 0 || limit->tv_usec >= 1000000)) {
        errno = EINVAL;
        return -1;
    }
    if (limit && limit->tv_sec == 0 && limit->tv_usec == 0) return poll_once(fd, events);
    const bool bounded = limit && limit->tv_sec < kForeverSec;

    Record *r = call_record_for(fd); // the stream whose method runs here, if FD is its own
    if (r && r->closed()) return 0;  // its number may be another file's now
    pollfd pfd = {fd, static_cast<short>(events), 0};
    if (!r) return wait_plain(pfd, limit, bounded);

    // A blocking wait on R: the mark, then, each round, the limit where a
    // wake can zero it (a far one for none: the kernel arms its timer only
    // when it sleeps), the checks, the ppoll with the thread's mask as it is
    // now (a handler's included) and the wake signal open.
    ThreadCalls *t = this_thread;
    const int64_t deadline = bounded ? now_ns() + to_ns(*limit) : 0;
    int64_t rest = bounded ? to_ns(*limit) : kForeverSec * kNsecPerSec;
    const std::uint64_t mask = wait_mask();
    BlockedOn blocked(t, r);                          // a close ends every wait
    Sleeper sleeper(t, wake_on_buffer ? r : nullptr); // after the mark: a fill counting it sees it
    for (;;) {
        t->wait_left = to_timespec(rest);
        std::atomic_signal_fence(std::memory_order_seq_cst); // the limit, then the checks
        if (r->closed() || sleeper.buffered()) return 0;     // closed, or woken by a fill
        const int ready = ppoll_now(pfd, &t->wait_left, &mask);
        if (ready > 0) return revents_of(pfd);
        if (ready < 0 && errno != EINTR) return -1;
        if (!bounded) continue; // woken, or a signal: look again
        rest = deadline - now_ns();
        if (rest <= 0) return 0; // a signal neither cuts the wait short nor stretches it
    }
}

} // namespace zelt::rt

// A zero limit goes straight to its one look; wait_fd checks everything
// else, in its order. Input another thread buffers ends a wait for input
// only: a wait for writable alone sleeps on through it.
extern "C" int zl_wait_for_single_fd(int fd, int events, timeval *limit) {
    if (limit && (limit->tv_sec | limit->tv_usec) == 0) [[likely]]
        return poll_once(fd, events);
    return wait_fd(fd, events, limit, (events & POLLIN) != 0);
}
