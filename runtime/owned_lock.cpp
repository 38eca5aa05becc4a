// owned_lock.cpp: locks whose word names their holder, and sections run with
// the asynchronous signals blocked.
//
// The protocol of an OwnedLock's 32-bit word:
// - 0: free. Otherwise the holder's thread token, with bit 0 set once a
//   thread sleeps on it (or may have).
// - lock: compare-and-swap 0 -> token (acquire). On failure, a word naming
//   this thread means a signal handler re-enters a section its own thread
//   holds: refused at once (EDEADLK), as waiting would never end. Else set
//   the sleeper bit and sleep on the word (futex) until it changes; a lock
//   taken after sleeping keeps the bit, so its unlock wakes the next sleeper.
// - unlock: exchange 0 (release); wake one sleeper if the bit was set.
// - Signal handlers: a handler that interrupted a thread in lock() before its
//   compare-and-swap succeeded finds a word that is not its own and takes or
//   waits as any thread would; the interrupted lock() goes on after it.
// - fork: the token of the forking thread is the same in the child; a word
//   naming any other token there names a thread that is gone (fork.cpp).
// - Tokens come from one counter, never reused, so a child's new threads
//   never take a vanished thread's number.
#include "internal.hpp"
#include "test_hooks/test_hooks.hpp" // while_holding

#include <cerrno>        // EDEADLK, EINTR
#include <csignal>       // sigfillset, sigdelset
#include <ctime>         // the futex call's timeout argument
#include <linux/futex.h> // FUTEX_WAIT_PRIVATE, FUTEX_WAKE_PRIVATE
#include <mutex>         // std::lock_guard in the test hook
#include <pthread.h>     // pthread_sigmask
#include <sys/syscall.h> // SYS_futex
#include <unistd.h>      // syscall

namespace zelt::rt {

thread_local constinit uint32_t thread_token_ [[gnu::tls_model("initial-exec")]] = 0;

uint32_t new_thread_token() {
    static std::atomic<uint32_t> next{2}; // lock-free: a signal handler may be first
    thread_token_ = next.fetch_add(2, std::memory_order_relaxed);
    return thread_token_;
}

void futex_wait(std::atomic<uint32_t> &word, uint32_t seen) {
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr,
            nullptr, 0); // EINTR or EAGAIN: the caller looks at the word again
}

void futex_wake(std::atomic<uint32_t> &word, int threads) {
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&word), FUTEX_WAKE_PRIVATE, threads, nullptr,
            nullptr, 0);
}

void OwnedLock::lock_slow(uint32_t me, uint32_t seen) {
    if ((seen & ~kSleeper) == me) {
        const std::string why =
            std::string(what_) +
            " is held by this thread: a call from a signal handler that interrupted it";
        errno = EDEADLK; // after the allocation, which may set it
        zl_sys_fail(why.c_str());
    }
    for (;;) {
        if (seen == 0) {
            if (word_.compare_exchange_weak(seen, me | kSleeper, std::memory_order_acquire,
                                            std::memory_order_relaxed))
                return;
            continue;
        }
        if (!(seen & kSleeper) &&
            !word_.compare_exchange_weak(seen, seen | kSleeper, std::memory_order_relaxed))
            continue; // SEEN is fresh: look again
        futex_wait(word_, seen | kSleeper);
        seen = word_.load(std::memory_order_relaxed);
    }
}

namespace {
sigset_t asynchronous_signals() {
    sigset_t set;
    sigfillset(&set);
    for (int sync : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
        sigdelset(&set, sync); // a fault still reports
    return set;
}
} // namespace

SignalsHeld::SignalsHeld() {
    static const sigset_t all = asynchronous_signals();
    pthread_sigmask(SIG_BLOCK, &all, &old_);
}

SignalsHeld::~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

} // namespace zelt::rt

void zelt::test_hooks::while_holding(Section section, zl_value io, void (*fn)(void *), void *arg) {
    using namespace zelt::rt;
    Record *r = section == Section::Turn || section == Section::Buffer
                    ? reinterpret_cast<Record *>(zl_io_record(zl_io_taint_check(io)))
                    : nullptr;
    IoCall call(r); // no release drops the buffer meanwhile
    OwnedLock *lock = nullptr;
    switch (section) {
    case Section::Loader: lock = &loader_lock(); break;
    case Section::Define: lock = &define_lock(); break;
    case Section::Intern: lock = &intern_lock(); break;
    case Section::Registry: lock = &registry_lock(); break;
    case Section::Turn: lock = &r->turn; break;
    case Section::Buffer: lock = &r->buf_lock; break;
    }
    std::lock_guard hold(*lock);
    fn(arg);
}
