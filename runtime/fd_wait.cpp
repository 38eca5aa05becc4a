// fd_wait.cpp: waiting for one descriptor, cut short only by a close of its stream.
#include "internal.hpp"

#include <cerrno>        // EINTR, EBADF, EINVAL
#include <cstdint>       // int64_t
#include <ctime>         // clock_gettime
#include <poll.h>        // ppoll, pollfd
#include <sys/eventfd.h> // eventfd

using namespace zelt::rt;

namespace {

constexpr int64_t kNsecPerSec = 1000000000;
constexpr int64_t kForeverSec = int64_t{100} * 366 * 24 * 3600; // longer waits have no limit

int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * kNsecPerSec + ts.tv_nsec;
}

// The eventfd that a close of R writes; made on R's first blocking wait.
int wake_fd_of(Record *r) {
    int w = r->wake_fd.load();
    if (w >= 0) return w;
    std::lock_guard lock(r->wake_mu);
    w = r->wake_fd.load();
    if (w < 0) {
        w = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (w >= 0) r->wake_fd.store(w); // then the caller looks at the closed flag
    }
    return w;
}

} // namespace

extern "C" int zl_wait_for_single_fd(int fd, int events, timeval *limit) {
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

    pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {-1, POLLIN, 0}};
    nfds_t nfds = 1;
    Record *r = current_call.record; // the stream whose method runs here, if FD is its own
    if (r && r->pub.fd != fd) r = nullptr;
    if (r) {
        if (!current_call.holds) { // the descriptor stays until the call returns
            r->enter();
            current_call.holds = true;
        }
        if (r->closed()) return 0; // its number may be another file's now
    }
    if (!poll_once && r) {
        int w = wake_fd_of(r);
        if (w < 0) return -1;
        if (r->closed()) return 0; // closed before the close could see w
        fds[1].fd = w;
        nfds = 2;
    }

    timespec left{}; // zero: poll once
    timespec *timeout = limit ? &left : nullptr;
    int64_t deadline = 0;
    if (bounded) {
        left = {limit->tv_sec, limit->tv_usec * 1000};
        deadline = now_ns() + limit->tv_sec * kNsecPerSec + limit->tv_usec * 1000;
    } else if (limit && !poll_once) {
        timeout = nullptr; // a century or more: no limit
    }

    int ready;
    while ((ready = ppoll(fds, nfds, timeout, nullptr)) < 0) {
        if (errno != EINTR) return -1;
        if (bounded) { // a signal neither cuts the wait short nor stretches it
            int64_t rest = deadline - now_ns();
            if (rest <= 0) return 0;
            left = {static_cast<time_t>(rest / kNsecPerSec), static_cast<long>(rest % kNsecPerSec)};
        }
    }
    if (ready == 0) return 0;
    if (fds[0].revents & POLLNVAL) {
        errno = EBADF;
        return -1;
    }
    return fds[0].revents; // zero when only the close woke us
}
