// in_flight.cpp: calls in flight on IOs, and closing a stream under them.
//
// The protocol; tests/model/close_protocol.pml checks it over every
// interleaving on x86-TSO store buffers (`scripts/test model`).
// - Caller: enter stores chain[depth] = R, then (fenced: seq_cst fence) its
//   method loads R->closed before any system call on R. Leave stores the
//   entry null, then (fenced: fence) loads closed; if set, leave_closed()
//   releases under table_mu when release_pending is set and no chain names R.
// - Closer: under table_mu, closed.exchange(true), then membarrier (fenced:
//   fence), then scans every chain: tgkills each other thread naming R and
//   sets release_pending, or closes the descriptor itself if none names R.
// - Why enough: each side stores, then loads the other's store, with a full
//   barrier between (membarrier puts one in every running caller), so a
//   caller either sees closed before its system call or is seen by the scan
//   and keeps the descriptor until it leaves. A leaver that sees closed takes
//   table_mu after the scan. The wake signal is blocked except inside ppoll's
//   mask (and the fallback read, re-sent while in_read == R), so a tgkill
//   that lands on a waiter's way into ppoll stays pending and ends it. A
//   close inside a call on R finds R in its own chain: its own leave
//   releases, and no close ever waits for a call.
// - Without membarrier (refused, or ZELT_NO_MEMBARRIER set) callers fence
//   after their stores, and the close fences in its place.
// - fork: the child keeps only the forking thread's chain; a closed record
//   that only vanished threads named is released there.
#include "internal.hpp"

#include <cerrno>             // EINTR
#include <cstdio>             // fprintf: a bad ZELT_WAKE_SIGNAL
#include <cstdlib>            // getenv, strtol
#include <cstring>            // strcmp, strncmp
#include <ctime>              // nanosleep
#include <linux/membarrier.h> // MEMBARRIER_CMD_*
#include <pthread.h>          // pthread_sigmask, pthread_atfork, thread-exit keys
#include <sys/syscall.h>      // SYS_membarrier, SYS_tgkill
#include <unistd.h>           // syscall, getpid, gettid, close

namespace zelt::rt {

thread_local constinit ThreadCalls *this_thread [[gnu::tls_model("initial-exec")]] = nullptr;
bool fenced = false;

namespace {

int wake_signal = SIGURG; // ignored by default, so a stray one harms nothing
sigset_t wake_only;       // the wake signal alone, for blocking and opening it

struct Table {
    std::mutex mu;
    std::vector<ThreadCalls *> threads; // never freed: a thread's entry is reused
    std::vector<Record *> release_owed; // closed, waiting for their last call to leave
    pthread_key_t exit_key;             // runs thread_exit for each thread that registered
};
Table &table() {
    static Table *t = new Table; // never destroyed: threads may outlive main
    return *t;
}

long membarrier(int cmd) { return syscall(SYS_membarrier, cmd, 0, 0); }

void barrier() {
    if (fenced || membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0)
        full_fence(); // the callers fence too
}

bool names(const ThreadCalls *t, const Record *r) {
    for (const auto &entry : t->chain)
        if (entry.load(std::memory_order_acquire) == r) return true; // pairs with the clear
    return false;
}

bool named_by_any(const Table &tab, const Record *r) {
    for (const ThreadCalls *t : tab.threads)
        if (t->in_use && names(t, r)) return true;
    return false;
}

void signal_thread(const ThreadCalls *t) { syscall(SYS_tgkill, getpid(), t->tid, wake_signal); }

// Signals every other thread whose chain names R; true if any chain does,
// this thread's included. Under tab.mu.
bool signal_namers(const Table &tab, const Record *r) {
    bool named = false;
    for (const ThreadCalls *t : tab.threads) {
        if (!t->in_use || !names(t, r)) continue;
        named = true;
        if (t != this_thread) signal_thread(t); // pending until its ppoll opens the mask
    }
    return named;
}

void release(Table &tab, Record *r) {       // under tab.mu
    if (r->released.exchange(true)) return; // once; io_fd reads it without the lock
    ::close(r->pub.fd);
    drop_buffer(r);
    if (r->release_pending) {
        r->release_pending = false;
        std::erase(tab.release_owed, r);
    }
}

void on_wake(int) {} // its only work is to make ppoll or read return EINTR

void thread_exit(void *p) {
    auto *t = static_cast<ThreadCalls *>(p);
    std::lock_guard lock(table().mu);
    t->in_use = false;
    this_thread = nullptr;
}

} // namespace

// fork: only the forking thread exists in the child.
void in_flight_before_fork() { table().mu.lock(); }
void in_flight_after_fork_parent() { table().mu.unlock(); }
void in_flight_after_fork_child() {
    Table &tab = table();
    for (ThreadCalls *t : tab.threads) {
        if (t == this_thread) continue;
        for (auto &entry : t->chain) entry.store(nullptr, std::memory_order_relaxed);
        t->in_read.store(nullptr, std::memory_order_relaxed);
        t->depth = 0;
        t->in_use = false;
    }
    if (this_thread) this_thread->tid = gettid();
    if (!fenced && membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0) fenced = true;
    for (std::size_t i = tab.release_owed.size(); i-- > 0;) {
        Record *r = tab.release_owed[i];
        if (!named_by_any(tab, r)) release(tab, r);
    }
    tab.mu.unlock();
}

namespace {

// ZELT_WAKE_SIGNAL: a number, or a name such as SIGURG, USR2 or SIGRTMIN+3.
int parse_signal(const char *text) {
    static const struct {
        const char *name;
        int number;
    } named[] = {{"URG", SIGURG},   {"USR1", SIGUSR1}, {"USR2", SIGUSR2}, {"WINCH", SIGWINCH},
                 {"PROF", SIGPROF}, {"IO", SIGIO},     {"PWR", SIGPWR},   {"SYS", SIGSYS}};
    if (std::strncmp(text, "SIG", 3) == 0) text += 3;
    char *rest = nullptr;
    long n = -1;
    if (std::strncmp(text, "RTMIN", 5) == 0) {
        n = SIGRTMIN;
        rest = const_cast<char *>(text + 5);
        if (*rest == '+') n += std::strtol(rest + 1, &rest, 10);
    } else if (*text >= '0' && *text <= '9') {
        n = std::strtol(text, &rest, 10);
    } else {
        for (const auto &s : named)
            if (std::strcmp(text, s.name) == 0) return s.number;
    }
    if (!rest || *rest || n <= 0 || n > SIGRTMAX || n == SIGKILL || n == SIGSTOP) return -1;
    return static_cast<int>(n);
}

[[gnu::constructor(101)]] void start() { // before boot's classes: calls may follow at once
    const char *no_barrier = std::getenv("ZELT_NO_MEMBARRIER");
    fenced = (no_barrier && *no_barrier && std::strcmp(no_barrier, "0") != 0) ||
             membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) != 0;
    if (const char *name = std::getenv("ZELT_WAKE_SIGNAL"); name && *name) {
        int n = parse_signal(name);
        if (n > 0)
            wake_signal = n;
        else
            std::fprintf(stderr, "zelt: ZELT_WAKE_SIGNAL=%s is no signal; using %d\n", name,
                         wake_signal);
    }
    struct sigaction action = {};
    action.sa_handler = on_wake; // no SA_RESTART: the wait or read must return
    sigemptyset(&action.sa_mask);
    sigaction(wake_signal, &action, nullptr);
    sigemptyset(&wake_only);
    sigaddset(&wake_only, wake_signal);
    pthread_sigmask(SIG_BLOCK, &wake_only, nullptr); // threads made from here on inherit it
    pthread_key_create(&table().exit_key, thread_exit);
}

} // namespace

ThreadCalls *register_thread() {
    Table &tab = table();
    sigset_t old;
    pthread_sigmask(SIG_BLOCK, &wake_only, &old); // delivered only where the runtime opens it
    std::lock_guard lock(tab.mu);
    ThreadCalls *t = nullptr;
    for (ThreadCalls *free : tab.threads)
        if (!free->in_use) {
            t = free;
            break;
        }
    if (!t) {
        t = new ThreadCalls;
        tab.threads.push_back(t);
    }
    t->tid = gettid();
    t->in_use = true;
    t->wait_mask = old;
    sigdelset(&t->wait_mask, wake_signal);
    pthread_setspecific(tab.exit_key, t);
    this_thread = t;
    return t;
}

void nested_too_deep() {
    raise(eIOError,
          "calls on IO objects nested more than " + std::to_string(ThreadCalls::kDepth) + " deep");
}

void leave_closed(Record *r) {
    Table &tab = table();
    std::lock_guard lock(tab.mu);
    if (r->release_pending && !named_by_any(tab, r)) release(tab, r); // the close has scanned
}

void close_record(Record *r) {
    Table &tab = table();
    std::unique_lock lock(tab.mu);         // a fork finds R either open or scanned
    if (r->closed_.exchange(true)) return; // closed once; seq_cst: before the fenced scan
    barrier();                             // every caller now sees closed, or is seen
    if (signal_namers(tab, r)) {
        r->release_pending = true; // the last call to leave releases
        tab.release_owed.push_back(r);
    } else {
        release(tab, r);
    }
    // A thread in read(2) may have let one signal pass before entering it:
    // send again until it is out.
    for (;;) {
        bool reading = false;
        for (const ThreadCalls *t : tab.threads)
            if (t->in_use && t != this_thread && t->in_read.load() == r) {
                reading = true;
                signal_thread(t);
            }
        if (!reading) return;
        lock.unlock();
        timespec pause = {0, 1000000};
        nanosleep(&pause, nullptr);
        lock.lock();
    }
}

void wake_sleepers(Record *r) {
    Table &tab = table();
    std::lock_guard lock(tab.mu);
    signal_namers(tab, r);
}

ssize_t interruptible_read(Record *r, void *to, std::size_t n) {
    ThreadCalls *t = this_thread;
    t->in_read.store(r, std::memory_order_seq_cst); // a full barrier before the closed check:
                                                    // a close then sees it and re-sends
    pthread_sigmask(SIG_UNBLOCK, &wake_only, nullptr);
    ssize_t got = -1;
    errno = EINTR;
    if (!r->closed()) got = ::read(r->pub.fd, to, n);
    int err = errno;
    pthread_sigmask(SIG_BLOCK, &wake_only, nullptr);
    t->in_read.store(nullptr, std::memory_order_release); // after read(2) returned
    errno = err;
    return got;
}

} // namespace zelt::rt

int zelt::wake_signal() { return rt::wake_signal; }
