// syscall_count.cpp: ioctl and ppoll (the C library's, or through syscall(2)),
// counted, then passed on to the real ones.
//
// No system header that declares ioctl or ppoll is included here: this file
// gives the definitions, and the C library's declarations (with their
// fortified inline wrappers) would clash with them.
#include "syscall_count.hpp"
#include "syscall_words.hpp" // syscall_words

#include <atomic>        // the counters, bumped from any thread
#include <cerrno>        // errno, ENOSYS: a missing epoll_pwait2 is not a wait
#include <cstdarg>       // ioctl's optional third argument
#include <dlfcn.h>       // dlsym, RTLD_NEXT
#include <signal.h>      // sigset_t
#include <sys/syscall.h> // SYS_ppoll, SYS_epoll_pwait2, SYS_epoll_pwait
#include <time.h>        // timespec

namespace {

std::atomic<std::uint64_t> ioctl_calls{0};
std::atomic<std::uint64_t> ppoll_calls{0};
std::atomic<std::uint64_t> ppoll_fds{0}; // descriptors polled, over all ppoll calls
std::atomic<std::uint64_t> epoll_wait_calls{0};

// The definition that this file's one hides: the C library's or an interceptor's.
template <class F> F next_definition(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

namespace zt::syscalls {

std::uint64_t ioctl_count() { return ioctl_calls.load(std::memory_order_relaxed); }
std::uint64_t ppoll_count() { return ppoll_calls.load(std::memory_order_relaxed); }
std::uint64_t polled_fd_count() { return ppoll_fds.load(std::memory_order_relaxed); }
std::uint64_t epoll_wait_count() { return epoll_wait_calls.load(std::memory_order_relaxed); }

} // namespace zt::syscalls

struct pollfd { // only its count of descriptors is read, through syscall(2)
    int fd;
    short events, revents;
};

extern "C" {

int ioctl(int fd, unsigned long request, ...) {
    using Ioctl = int (*)(int, unsigned long, ...);
    static const Ioctl real = next_definition<Ioctl>("ioctl");
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *); // every request takes at most one, pointer-sized
    va_end(args);
    ioctl_calls.fetch_add(1, std::memory_order_relaxed);
    return real(fd, request, argument);
}

int ppoll(pollfd *fds, unsigned long nfds, const timespec *timeout, const sigset_t *mask) {
    using Ppoll = int (*)(pollfd *, unsigned long, const timespec *, const sigset_t *);
    static const Ppoll real = next_definition<Ppoll>("ppoll");
    ppoll_calls.fetch_add(1, std::memory_order_relaxed);
    ppoll_fds.fetch_add(nfds, std::memory_order_relaxed);
    return real(fds, nfds, timeout, mask);
}

// What a fortified build calls in place of ppoll (the C library's name for it).
// NOLINTNEXTLINE(bugprone-reserved-identifier)
int __ppoll_chk(pollfd *fds, unsigned long nfds, const timespec *timeout, const sigset_t *mask,
                unsigned long fds_length) {
    using PpollChk =
        int (*)(pollfd *, unsigned long, const timespec *, const sigset_t *, unsigned long);
    static const PpollChk real = next_definition<PpollChk>("__ppoll_chk");
    ppoll_calls.fetch_add(1, std::memory_order_relaxed);
    ppoll_fds.fetch_add(nfds, std::memory_order_relaxed);
    return real(fds, nfds, timeout, mask, fds_length);
}

// The runtime's blocking ppoll, made through syscall(2) (see fd_wait.cpp).
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name): the C library's is reserved
long syscall(long number, ...) {
    using Syscall = long (*)(long, ...);
    static const Syscall real = next_definition<Syscall>("syscall");
    va_list args;
    va_start(args, number);
    long a[6] = {};
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized): started above; a false finding
    for (int i = 0; i < zh::syscall_words(number); ++i) // no more than the caller passed
        a[i] = va_arg(args, long);
    va_end(args);
    if (number == SYS_ppoll) {
        ppoll_calls.fetch_add(1, std::memory_order_relaxed);
        ppoll_fds.fetch_add(static_cast<std::uint64_t>(a[1]), std::memory_order_relaxed);
    }
    const long result = real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    const bool missing = result < 0 && errno == ENOSYS; // epoll_pwait2 where only epoll_pwait is
    if ((number == SYS_epoll_pwait2 || number == SYS_epoll_pwait) && !missing)
        epoll_wait_calls.fetch_add(1, std::memory_order_relaxed);
    return result;
}

} // extern "C"
