// interpose_fd.cpp: ppoll, ioctl, preadv2, read, close and syscall, each
// through the gate (gate.hpp) and then on to the next definition. The
// runtime's blocking ppoll goes through syscall(2) (the limit read at the
// kernel's entry): it meets the same ppoll gate as the C library's.
//
// No header that declares these calls is included: this file defines them,
// and the C library's declarations (with their fortified inline wrappers)
// would clash.
#include "gate.hpp" // enter, note_registration
#include "next.hpp" // next

#include <syscall_words.hpp> // syscall_words

#include <cerrno>        // errno
#include <cstdarg>       // ioctl's and syscall's arguments
#include <signal.h>      // sigset_t
#include <sys/syscall.h> // SYS_ppoll, SYS_membarrier, SYS_tgkill, SYS_rt_tgsigqueueinfo
#include <sys/types.h>   // ssize_t
#include <time.h>        // timespec

struct pollfd {
    int fd;
    short events, revents;
};
struct iovec;

namespace {

using zf::Sys;

int failed(int err) {
    errno = err;
    return -1;
}

// The five that syscall() carries and the gate looks at; others pass untouched.
bool watched(long number, Sys *sys) {
    switch (number) {
    case SYS_ppoll: *sys = Sys::Ppoll; return true;
    case SYS_membarrier: *sys = Sys::Membarrier; return true;
    case SYS_tgkill: *sys = Sys::Tgkill; return true;
    case SYS_rt_tgsigqueueinfo: *sys = Sys::Sigqueue; return true;
    case SYS_rt_sigprocmask: *sys = Sys::Sigmask; return true;
    default: return false;
    }
}

// The gate's key (injector.hpp) from syscall()'s words.
int key_of(Sys sys, const long (&a)[6]) {
    switch (sys) {
    case Sys::Ppoll: return a[1] > 0 ? reinterpret_cast<const pollfd *>(a[0])->fd : -1;
    case Sys::Membarrier:                             // the command
    case Sys::Sigmask: return static_cast<int>(a[0]); // how
    default: return static_cast<int>(a[2]);           // the signal
    }
}

} // namespace

extern "C" {

int ppoll(pollfd *fds, unsigned long nfds, const timespec *timeout, const sigset_t *mask) {
    using F = int (*)(pollfd *, unsigned long, const timespec *, const sigset_t *);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Ppoll, nfds > 0 ? fds[0].fd : -1)) return failed(err);
    return zf::next(cache, "ppoll")(fds, nfds, timeout, mask);
}

// What a fortified build calls in place of ppoll (the C library's name for it).
// NOLINTNEXTLINE(bugprone-reserved-identifier)
int __ppoll_chk(pollfd *fds, unsigned long nfds, const timespec *timeout, const sigset_t *mask,
                unsigned long fds_length) {
    using F = int (*)(pollfd *, unsigned long, const timespec *, const sigset_t *, unsigned long);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Ppoll, nfds > 0 ? fds[0].fd : -1)) return failed(err);
    return zf::next(cache, "__ppoll_chk")(fds, nfds, timeout, mask, fds_length);
}

int ioctl(int fd, unsigned long request, ...) {
    using F = int (*)(int, unsigned long, ...);
    static std::atomic<F> cache{nullptr};
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *); // every request takes at most one, pointer-sized
    va_end(args);
    if (int err = zf::gate::enter(Sys::Ioctl, fd)) return failed(err);
    return zf::next(cache, "ioctl")(fd, request, argument);
}

ssize_t preadv2(int fd, const iovec *iov, int iovcnt, off_t offset, int flags) {
    using F = ssize_t (*)(int, const iovec *, int, off_t, int);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Preadv2, fd)) return failed(err);
    return zf::next(cache, "preadv2")(fd, iov, iovcnt, offset, flags);
}

ssize_t read(int fd, void *buf, size_t nbytes) { // named as <unistd.h>, which <atomic> brings
    using F = ssize_t (*)(int, void *, size_t);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Read, fd)) return failed(err);
    return zf::next(cache, "read")(fd, buf, nbytes);
}

int close(int fd) {
    using F = int (*)(int);
    static std::atomic<F> cache{nullptr};
    const int err = zf::gate::enter(Sys::Close, fd);
    const int rc = zf::next(cache, "close")(fd); // released whatever it reports, as on Linux
    return err ? failed(err) : rc;
}

long syscall(long sysno, ...) {
    using F = long (*)(long, ...);
    static std::atomic<F> cache{nullptr};
    va_list args;
    va_start(args, sysno);
    long a[6] = {};
    for (int i = 0; i < zh::syscall_words(sysno); ++i) // no more than the caller passed
        a[i] = va_arg(args, long);
    va_end(args);
    Sys sys{};
    const int err = watched(sysno, &sys) ? zf::gate::enter(sys, key_of(sys, a)) : 0;
    const long rc =
        err ? failed(err) : zf::next(cache, "syscall")(sysno, a[0], a[1], a[2], a[3], a[4], a[5]);
    if (sysno == SYS_membarrier) zf::gate::note_barrier(a[0], rc == 0);
    return rc;
}

} // extern "C"
