// fd_wait.cpp: waiting for one descriptor, cut short only by a close of its
// stream or by input that another thread's read moved into its buffer.
#include "internal.hpp"

#include <cerrno>  // EINTR, EBADF, EINVAL
#include <cstdint> // int64_t
#include <ctime>   // clock_gettime
#include <optional> // the mark of a blocking wait
#include <poll.h>  // ppoll, pollfd

using namespace zelt::rt;

namespace {

constexpr int64_t kNsecPerSec = 1000000000;
constexpr int64_t kForeverSec = int64_t{100} * 366 * 24 * 3600; // longer waits have no limit

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * kNsecPerSec + ts.tv_nsec;
}

// Counts a blocking wait among R's sleepers while it lasts, so that a read
// that fills R's buffer knows to wake it.
class Sleeper {
public:
    explicit Sleeper(Record *r) : r_(r) {
        // seq_cst, with the fill's seq_cst store of pending and load of
        // sleepers: either the fill sees this sleeper or it sees the input.
        if (r_) r_->sleepers.fetch_add(1, std::memory_order_seq_cst);
    }
    ~Sleeper() {
        if (r_) r_->sleepers.fetch_sub(1, std::memory_order_relaxed); // a spare wake-up at most
    }
    Sleeper(const Sleeper &) = delete;
    Sleeper &operator=(const Sleeper &) = delete;
    bool buffered() const { return r_ && r_->pending.load(std::memory_order_seq_cst) > 0; }

private:
    Record *r_;
};

} // namespace

namespace zelt::rt {

int wait_fd(int fd, int events, const timeval *limit, bool wake_on_buffer) {
    if (fd < 0) { // ppoll would skip it and wait for nothing
        errno = EBADF;
        return -1;
    }
    if (limit && (limit->tv_sec < 0 || limit->tv_usec < 0 || limit->tv_usec >= 1000000)) {
        errno = EINVAL;
        return -1;
    }
    const bool poll_once = limit && limit->tv_sec == 0 && limit->tv_usec == 0;
    const bool bounded = limit && !poll_once && limit->tv_sec < kForeverSec;

    Record *r = call_record_for(fd); // the stream whose method runs here, if FD is its own
    if (r && r->closed()) return 0;  // its number may be another file's now
    if (poll_once) r = nullptr;      // never sleeps: no wake, no mask, no mark
    // A blocking wait takes the thread's mask as it is now, the wake signal
    // open, and tells the closers that it sleeps on R; then it looks again.
    sigset_t storage;
    const sigset_t *mask = r ? wait_mask(storage) : nullptr;
    std::optional<BlockedOn> blocked;
    if (r) blocked.emplace(this_thread, r); // before the sleeper count: a fill sees it
    Sleeper sleeper(r && wake_on_buffer ? r : nullptr);
    if (r && (r->closed() || sleeper.buffered())) return 0;

    timespec left{}; // zero: poll once
    timespec *timeout = limit ? &left : nullptr;
    int64_t deadline = 0;
    if (bounded) {
        left = {limit->tv_sec, limit->tv_usec * 1000};
        deadline = now_ns() + limit->tv_sec * kNsecPerSec + limit->tv_usec * 1000;
    } else if (limit && !poll_once) {
        timeout = nullptr; // a century or more: no limit
    }

    pollfd pfd = {fd, static_cast<short>(events), 0};
    int ready;
    while ((ready = ppoll(&pfd, 1, timeout, mask)) < 0) {
        if (errno != EINTR) return -1;
        if (r && (r->closed() || sleeper.buffered())) return 0; // woken on purpose
        if (bounded) { // a signal neither cuts the wait short nor stretches it
            int64_t rest = deadline - now_ns();
            if (rest <= 0) return 0;
            left = {static_cast<time_t>(rest / kNsecPerSec), static_cast<long>(rest % kNsecPerSec)};
        }
    }
    if (ready == 0) return 0;
    if (pfd.revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return pfd.revents;
}

} // namespace zelt::rt

extern "C" int zl_wait_for_single_fd(int fd, int events, timeval *limit) {
    return wait_fd(fd, events, limit, true);
}
