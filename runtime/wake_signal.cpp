// wake_signal.cpp: the one signal the runtime takes from the process, to end
// a thread's blocking system call on a stream that is closed or filled.
//
// - Choice: ZELT_WAKE_SIGNAL (ignored in a secure-execution process), else
//   SIGURG, whose default action is to ignore it. Any catchable signal that no
//   fault raises, the C library does not keep for itself, and whose SIG_IGN
//   or SIG_DFL means to the kernel no more than "no handler".
// - Handler: SA_SIGINFO, no SA_RESTART (the blocking call must return), and
//   the host's SA_ONSTACK. The runtime sends with rt_tgsigqueueinfo, si_code
//   SI_QUEUE, si_pid our pid and si_value the address of `cookie`: the
//   handler drops those and passes any other to the host's action, as the
//   host installed it (its mask, SA_NODEFER, SA_RESETHAND).
// - The host's action: what the disposition was at load, then whatever the
//   host installs later: own_wake_signal(), before each round of sends, finds
//   another disposition in place, keeps it as the host's and reinstalls ours.
//   One writer at a time (at load, or under the thread table's lock); a
//   sequence number lets a handler on another thread read a whole one.
// - Mask: the runtime never blocks the signal outside its own system calls;
//   a blocking call opens it for itself (ppoll's mask, or around read(2)).
// - Taking back: a wake sent to a thread that has left its call may still be
//   pending there; take_back_wakes() opens the signal for one system call, so
//   the handler takes it (and drops it) before the call returns.
#include "internal.hpp"
#include "test_hooks/test_hooks.hpp" // wakes_sent

#include <atomic>        // the host's action's words
#include <cerrno>        // errno, kept across the handler
#include <cstdint>       // uintptr_t, uint64_t: the host's action's words
#include <cstdio>        // fprintf: a refused ZELT_WAKE_SIGNAL
#include <cstdlib>       // secure_getenv, strtol
#include <cstring>       // strcmp, strncmp, sigabbrev_np, memcpy
#include <pthread.h>     // pthread_sigmask
#include <string>        // the refusal's reason
#include <sys/syscall.h> // SYS_rt_tgsigqueueinfo, SYS_tgkill
#include <unistd.h>      // syscall, getpid, getuid, gettid

namespace zelt::rt {
namespace {

int wake_signal = SIGURG; // ignored by default, so a stray one harms nothing
sigset_t wake_only;       // the wake signal alone
const char cookie = 0;    // its address marks the runtime's own sends

// The host's action, as much of it as the handler acts on, in words a
// handler reads whole: odd `seq` while the one writer writes.
struct HostAction {
    std::atomic<unsigned> seq{0};
    std::atomic<std::uintptr_t> handler{0}; // sa_handler or sa_sigaction
    std::atomic<int> flags{0};
    std::atomic<std::uint64_t> mask{0}; // the kernel's 64 signals
} host;

struct Action {
    std::uintptr_t handler;
    int flags;
    sigset_t mask;
};

void keep_host(const struct sigaction &a) {
    const bool with_info = a.sa_flags & SA_SIGINFO;
    std::uint64_t mask = 0;
    std::memcpy(&mask, &a.sa_mask, sizeof mask);
    const unsigned s = host.seq.load(std::memory_order_relaxed);
    host.seq.store(s + 1, std::memory_order_relaxed);
    // Each word with release: a reader that acquires it sees seq odd (or
    // later) at its second look. No fence: ThreadSanitizer sees these.
    host.handler.store(with_info ? reinterpret_cast<std::uintptr_t>(a.sa_sigaction)
                                 : reinterpret_cast<std::uintptr_t>(a.sa_handler),
                       std::memory_order_release);
    host.flags.store(a.sa_flags, std::memory_order_release);
    host.mask.store(mask, std::memory_order_release);
    host.seq.store(s + 2, std::memory_order_release);
}

Action host_now() { // in the handler: another thread may be writing it
    for (;;) {
        const unsigned s = host.seq.load(std::memory_order_acquire);
        Action a = {host.handler.load(std::memory_order_acquire), // each before the second look
                    host.flags.load(std::memory_order_acquire),
                    {}};
        const std::uint64_t mask = host.mask.load(std::memory_order_acquire);
        if ((s & 1) == 0 && host.seq.load(std::memory_order_relaxed) == s) {
            sigemptyset(&a.mask);
            std::memcpy(&a.mask, &mask, sizeof mask);
            return a;
        }
    }
}

bool sent_by_us(const siginfo_t *info) {
    return info && info->si_code == SI_QUEUE && info->si_value.sival_ptr == &cookie &&
           info->si_pid == getpid();
}

bool ignored_by_default(int sig) { return sig == SIGURG || sig == SIGWINCH; }

// The host's handler, with the mask it asked for while it runs; an
// SA_RESETHAND one gives the signal back to SIG_DFL first, as the kernel would.
void run_host_handler(const Action &h, int sig, siginfo_t *info, void *context) {
    if (h.flags & SA_RESETHAND) {
        struct sigaction dfl = {};
        dfl.sa_handler = SIG_DFL;
        sigaction(sig, &dfl, nullptr); // ours again at the next close
    }
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &h.mask, &old);
    if (h.flags & SA_NODEFER) { // the kernel blocked it for our handler
        sigset_t self;
        sigemptyset(&self);
        sigaddset(&self, sig);
        pthread_sigmask(SIG_UNBLOCK, &self, nullptr);
    }
    if (h.flags & SA_SIGINFO)
        reinterpret_cast<void (*)(int, siginfo_t *, void *)>(h.handler)(sig, info, context);
    else
        reinterpret_cast<void (*)(int)>(h.handler)(sig);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// SIG_DFL for a signal that does something: put it back and raise it again,
// so it acts once this handler returns. Owned again at the next close. Not
// put back, it is not raised: it would come back here, for ever.
void act_by_default(int sig) {
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    if (sigaction(sig, &dfl, nullptr) != 0) return;
    syscall(SYS_tgkill, getpid(), gettid(), sig);
}

void on_wake(int sig, siginfo_t *info, void *context) {
    if (sent_by_us(info)) { // ends the system call; or the ppoll it lands before
        if (ThreadCalls *t = registered_thread()) zero_limit(t);
        return;
    }
    const int saved = errno;
    const Action h = host_now();
    const auto dfl = reinterpret_cast<std::uintptr_t>(SIG_DFL);
    const auto ign = reinterpret_cast<std::uintptr_t>(SIG_IGN);
    if ((h.flags & SA_SIGINFO) ? h.handler != 0 : h.handler != ign && h.handler != dfl)
        run_host_handler(h, sig, info, context);
    else if (!(h.flags & SA_SIGINFO) && h.handler == dfl && !ignored_by_default(sig))
        act_by_default(sig);
    errno = saved;
}

bool ours(const struct sigaction &a) {
    return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction == on_wake;
}

// Ours in place, the host's kept; every signal blocked meanwhile, so no
// handler on this thread reads the host's action half written.
void install() {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    struct sigaction action = {};
    action.sa_sigaction = on_wake;
    action.sa_flags = SA_SIGINFO | (host.flags.load(std::memory_order_relaxed) & SA_ONSTACK);
    sigemptyset(&action.sa_mask);
    struct sigaction before = {};
    if (sigaction(wake_signal, &action, &before) == 0 && !ours(before)) {
        keep_host(before);
        if ((before.sa_flags ^ action.sa_flags) & SA_ONSTACK) { // the host's stack, as it asked
            action.sa_flags ^= SA_ONSTACK;
            sigaction(wake_signal, &action, nullptr);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// ---- ZELT_WAKE_SIGNAL ----------------------------------------------------------
// A number, or a name with or without SIG: USR2, SIGRTMIN+3, RTMAX-1.

int number_of_name(const char *name) {
    static const struct {
        const char *name;
        int number;
    } aliases[] = {{"POLL", SIGPOLL}, {"IOT", SIGABRT}, {"CLD", SIGCHLD}};
    for (const auto &a : aliases)
        if (std::strcmp(name, a.name) == 0) return a.number;
    for (int n = 1; n < SIGRTMIN; ++n)
        if (const char *abbrev = sigabbrev_np(n); abbrev && std::strcmp(name, abbrev) == 0)
            return n;
    return 0;
}

// RTMIN, RTMIN+n, RTMAX, RTMAX-n; 0 if TEXT is none of these, -1 past the range.
int realtime_number(const char *text) {
    const bool from_min = std::strncmp(text, "RTMIN", 5) == 0;
    if (!from_min && std::strncmp(text, "RTMAX", 5) != 0) return 0;
    const char *rest = text + 5;
    if (!*rest) return from_min ? SIGRTMIN : SIGRTMAX;
    if (*rest != (from_min ? '+' : '-') || rest[1] < '0' || rest[1] > '9') return 0;
    char *end = nullptr;
    const long n = std::strtol(rest + 1, &end, 10);
    if (*end) return 0;
    if (n > SIGRTMAX - SIGRTMIN) return -1;
    return from_min ? SIGRTMIN + static_cast<int>(n) : SIGRTMAX - static_cast<int>(n);
}

// The signal TEXT names, or 0 with REASON set.
int parse_signal(const char *text, std::string &reason) {
    int n = 0; // 0: names none; -1: past the range
    if (*text >= '0' && *text <= '9') {
        char *end = nullptr;
        const long v = std::strtol(text, &end, 10);
        n = *end ? 0 : v < 1 || v > SIGRTMAX ? -1 : static_cast<int>(v);
    } else {
        const char *name = std::strncmp(text, "SIG", 3) == 0 ? text + 3 : text;
        n = realtime_number(name);
        if (n == 0) n = number_of_name(name);
    }
    if (n == 0)
        reason = "names no signal";
    else if (n < 0)
        reason = "is out of range (1 to " + std::to_string(SIGRTMAX) + ")";
    else if (n == SIGKILL || n == SIGSTOP)
        reason = "cannot be caught";
    else if (n == SIGSEGV || n == SIGBUS || n == SIGFPE || n == SIGILL || n == SIGTRAP ||
             n == SIGSYS || n == SIGABRT)
        reason = "is raised by faults or abort, not only sent";
    else if (n > SIGSYS && n < SIGRTMIN)
        reason = "is reserved by the C library";
    else if (n == SIGCHLD)
        reason = "means more than no handler: its SIG_IGN reaps exited children";
    else if (n == SIGCONT)
        reason = "means more than a handler: each one sent resumes a stopped process";
    else if (n == SIGTSTP || n == SIGTTIN || n == SIGTTOU)
        reason = "is a job-control stop: each one sent drops a pending SIGCONT";
    else
        return n;
    return 0;
}

} // namespace

void wake_signal_start() {
    if (const char *text = secure_getenv("ZELT_WAKE_SIGNAL"); text && *text) {
        std::string reason;
        if (const int n = parse_signal(text, reason); n > 0)
            wake_signal = n;
        else
            std::fprintf(stderr, "zelt: ZELT_WAKE_SIGNAL=%s %s; using SIG%s\n", text,
                         reason.c_str(), sigabbrev_np(wake_signal));
    }
    sigemptyset(&wake_only);
    sigaddset(&wake_only, wake_signal);
    install();
}

void own_wake_signal() {
    struct sigaction now = {};
    if (sigaction(wake_signal, nullptr, &now) == 0 && ours(now)) return;
    install(); // the host's since load: kept, and passed what we did not send
}

bool wake_blocked_in(const sigset_t &mask) { return sigismember(&mask, wake_signal) == 1; }

int open_wake(bool open) {
    return pthread_sigmask(open ? SIG_UNBLOCK : SIG_BLOCK, &wake_only, nullptr);
}

std::atomic<unsigned long> wakes_sent{0}; // tests read it

void send_wake(pid_t tid) {
    wakes_sent.fetch_add(1, std::memory_order_relaxed);
    siginfo_t info = {};
    info.si_signo = wake_signal;
    info.si_code = SI_QUEUE;
    info.si_pid = getpid();
    info.si_uid = getuid();
    info.si_value.sival_ptr = const_cast<char *>(&cookie);
    syscall(SYS_rt_tgsigqueueinfo, info.si_pid, tid, wake_signal, &info);
}

void take_back_wakes() {
    const int saved = errno;
    sigset_t old; // unblocked, a pending wake is taken on the way out of this call
    if (pthread_sigmask(SIG_UNBLOCK, &wake_only, &old) == 0 && wake_blocked_in(old))
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
}

} // namespace zelt::rt

int zelt::wake_signal() { return rt::wake_signal; }

unsigned long zelt::test_hooks::wakes_sent() {
    return rt::wakes_sent.load(std::memory_order_relaxed);
}
