// syscall_hold.cpp: ioctl, ppoll (the C library's, or syscall(2)'s),
// preadv2, read and write, held once when a test asks, then passed on to the next
// definition (the C library's, or a sanitizer's).
//
// No header that declares the five is included: this file defines them.
#include "syscall_hold.hpp"

#include "membarrier_fail.hpp" // membarrier_failure

#include <syscall_words.hpp> // syscall_words

#include <atomic>        // the armed hold, seen by every thread
#include <cerrno>        // errno: a failed membarrier
#include <cstdarg>       // ioctl's optional third argument
#include <dlfcn.h>       // dlsym, RTLD_NEXT
#include <signal.h>      // sigset_t
#include <sys/syscall.h> // SYS_ppoll, SYS_membarrier
#include <time.h>        // timespec

struct pollfd {
    int fd;
    short events, revents;
};
struct iovec;

namespace close_test {
namespace {

std::atomic<Hold *> armed{nullptr};
std::atomic<Probe *> probing{nullptr};

template <class F> F next_definition(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

void maybe_stop(Call call, int fd) {
    Probe *p = probing.load();
    if (p && p->matches(call, fd) && probing.compare_exchange_strong(p, nullptr)) p->run();
    Hold *h = armed.load();
    if (h && h->matches(call, fd) && armed.compare_exchange_strong(h, nullptr)) h->stop();
}

} // namespace

Hold::Hold(Call call, int fd) : call_(call), fd_(fd) { armed.store(this); }

Hold::~Hold() {
    Hold *self = this;
    armed.compare_exchange_strong(self, nullptr);
    if (go_.try_wait()) return;
    go_.count_down();
}

Probe::Probe(Call call, int fd, void (*check)()) : call_(call), fd_(fd), check_(check) {
    probing.store(this);
}

Probe::~Probe() {
    Probe *self = this;
    probing.compare_exchange_strong(self, nullptr);
}

} // namespace close_test

using close_test::Call;

extern "C" {

int ioctl(int fd, unsigned long request, ...) {
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl real = close_test::next_definition<Ioctl>("ioctl");
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *); // every request takes at most one, pointer-sized
    va_end(args);
    close_test::maybe_stop(Call::Ioctl, fd);
    return real(fd, request, argument);
}

int ppoll(pollfd *fds, unsigned long nfds, const timespec *timeout, const sigset_t *mask) {
    using Ppoll = int (*)(pollfd *, unsigned long, const timespec *, const sigset_t *);
    static const Ppoll real = close_test::next_definition<Ppoll>("ppoll");
    if (nfds > 0) close_test::maybe_stop(Call::Ppoll, fds[0].fd);
    return real(fds, nfds, timeout, mask);
}

// What a fortified build calls in place of ppoll (the C library's name for it).
// NOLINTNEXTLINE(bugprone-reserved-identifier)
int __ppoll_chk(pollfd *fds, unsigned long nfds, const timespec *timeout, const sigset_t *mask,
                unsigned long fds_length) {
    using PpollChk =
        int (*)(pollfd *, unsigned long, const timespec *, const sigset_t *, unsigned long);
    static const PpollChk real = close_test::next_definition<PpollChk>("__ppoll_chk");
    if (nfds > 0) close_test::maybe_stop(Call::Ppoll, fds[0].fd);
    return real(fds, nfds, timeout, mask, fds_length);
}

long preadv2(int fd, const iovec *iov, int iovcnt, long offset, int flags) {
    using Preadv2 = long (*)(int, const iovec *, int, long, int);
    static const Preadv2 real = close_test::next_definition<Preadv2>("preadv2");
    close_test::maybe_stop(Call::Preadv2, fd);
    return real(fd, iov, iovcnt, offset, flags);
}

// A regular file's read (the runtime reads files with read(2)).
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
long read(int fd, void *to, unsigned long n) {
    using Read = long (*)(int, void *, unsigned long);
    static const Read real = close_test::next_definition<Read>("read");
    close_test::maybe_stop(Call::Read, fd);
    return real(fd, to, n);
}

// A terminal's write (the runtime writes terminals with write(2)).
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
long write(int fd, const void *from, unsigned long n) {
    using Write = long (*)(int, const void *, unsigned long);
    static const Write real = close_test::next_definition<Write>("write");
    close_test::maybe_stop(Call::Write, fd);
    return real(fd, from, n);
}

// The runtime makes its blocking ppoll and its membarrier through syscall(2).
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
long syscall(long number, ...) {
    using Syscall = long (*)(long, ...);
    static const Syscall real = close_test::next_definition<Syscall>("syscall");
    va_list args;
    va_start(args, number);
    long a[6] = {};
    for (int i = 0; i < zh::syscall_words(number); ++i) // no more than the caller passed
        a[i] = va_arg(args, long);
    va_end(args);
    if (number == SYS_ppoll && a[1] > 0)
        close_test::maybe_stop(Call::Ppoll, reinterpret_cast<const pollfd *>(a[0])->fd);
    if ((number == SYS_epoll_pwait2 || number == SYS_epoll_pwait) &&
        a[4] != 0) // a selector's blocking look, with its mask
        close_test::maybe_stop(Call::EpollWait, static_cast<int>(a[0]));
    if (number == SYS_membarrier)
        if (const int err = close_test::membarrier_failure(a[0])) {
            errno = err;
            return -1;
        }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

} // extern "C"
