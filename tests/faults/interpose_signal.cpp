// interpose_signal.cpp: sigaction, the signal-mask calls, sigtimedwait and
// pthread_sigqueue, each through the gate (gate.hpp) and then on to the next
// definition. Defined as <signal.h> declares them, noexcept and parameter
// names included.
#include "gate.hpp" // enter
#include "next.hpp" // next

#include <cerrno>   // errno
#include <signal.h> // struct sigaction, sigset_t, siginfo_t, the declarations matched

namespace {

using zf::Sys;

int failed(int err) {
    errno = err;
    return -1;
}

int lowest_signal(const sigset_t *set) {
    for (int sig = 1; set && sig < NSIG; ++sig)
        if (sigismember(set, sig) == 1) return sig;
    return 0;
}

} // namespace

extern "C" {

int sigaction(int sig, const struct sigaction *act, struct sigaction *oact) noexcept {
    using F = int (*)(int, const struct sigaction *, struct sigaction *);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Sigaction, sig)) return failed(err);
    return zf::next(cache, "sigaction")(sig, act, oact);
}

// Returns the error, as the pthread calls do, and leaves errno alone.
int pthread_sigmask(int how, const sigset_t *newmask, sigset_t *oldmask) noexcept {
    using F = int (*)(int, const sigset_t *, sigset_t *);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Sigmask, how)) return err;
    return zf::next(cache, "pthread_sigmask")(how, newmask, oldmask);
}

int sigprocmask(int how, const sigset_t *set, sigset_t *oset) noexcept {
    using F = int (*)(int, const sigset_t *, sigset_t *);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Sigmask, how)) return failed(err);
    return zf::next(cache, "sigprocmask")(how, set, oset);
}

int sigtimedwait(const sigset_t *set, siginfo_t *info, const timespec *timeout) {
    using F = int (*)(const sigset_t *, siginfo_t *, const timespec *);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Sigtimedwait, lowest_signal(set))) return failed(err);
    return zf::next(cache, "sigtimedwait")(set, info, timeout);
}

int pthread_sigqueue(pthread_t threadid, int signo, const sigval value) noexcept {
    using F = int (*)(pthread_t, int, const sigval);
    static std::atomic<F> cache{nullptr};
    if (int err = zf::gate::enter(Sys::Sigqueue, signo)) return err;
    return zf::next(cache, "pthread_sigqueue")(threadid, signo, value);
}

} // extern "C"
