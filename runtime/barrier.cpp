// barrier.cpp: the close's side of the pairing with the callers' plain stores.
//
// - At load: membarrier(REGISTER_PRIVATE_EXPEDITED), unless ZELT_NO_MEMBARRIER
//   is set (ignored in a secure-execution process). Refused, or set: callers
//   fence after each store from their first call, and a close fences.
// - Each close: membarrier(PRIVATE_EXPEDITED) puts a full barrier in every
//   thread of the process that runs at that moment.
// - It fails after registration (a seccomp filter installed since, say): the
//   process switches to fenced calls for good, and this close and every later
//   one make a process-wide barrier of their own instead, since a caller that
//   read `fenced` just before the switch may still make a plain store:
//   - x86-64: mprotect taking write access from a private page this thread has
//     touched. The kernel shoots down the page's TLB entries by interrupting
//     every CPU that runs a thread of the process; the interrupt drains that
//     CPU's stores. A thread not running had a context switch: a full barrier.
//   - elsewhere (arm64 invalidates TLBs by broadcast, with no interrupt), and
//     if mprotect fails: the closing thread runs once on each CPU it may use,
//     which puts a context switch, a full barrier, on each. A thread of the
//     process confined to CPUs this thread may not use is not covered.
// Called under the thread table's lock only, so its state needs no more.
#include "internal.hpp"
#include "test_hooks/test_hooks.hpp" // process_barriers

#include <cstdlib>            // secure_getenv
#include <cstring>            // strcmp
#include <linux/membarrier.h> // MEMBARRIER_CMD_*
#include <sched.h>            // sched_getaffinity, sched_setaffinity, CPU_*
#include <sys/mman.h>         // mmap, mprotect
#include <sys/syscall.h>      // SYS_membarrier
#include <unistd.h>           // syscall, sysconf

namespace zelt::rt {

std::atomic<bool> fenced{false};

namespace {

bool lost = false;                              // membarrier failed after it was registered
std::atomic<unsigned long> process_barriers{0}; // made in its place; tests read it

long membarrier(int cmd) { return syscall(SYS_membarrier, cmd, 0, 0); }

bool register_membarrier() { return membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0; }

#if defined(__x86_64__)
char *page = nullptr; // touched, then made read-only: the shootdown

bool shoot_down() {
    const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    if (!page) {
        void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return false;
        page = static_cast<char *>(p);
    }
    *static_cast<volatile char *>(page) = 1; // present and writable in this CPU's TLB
    return mprotect(page, size, PROT_READ) == 0 &&
           mprotect(page, size, PROT_READ | PROT_WRITE) == 0;
}
#else
bool shoot_down() { return false; } // no interrupt on the other CPUs: not a barrier
#endif

void visit_every_cpu() {
    cpu_set_t allowed, one;
    if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed)) continue;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        sched_setaffinity(0, sizeof one, &one); // returns running there
    }
    sched_setaffinity(0, sizeof allowed, &allowed);
}

void process_barrier() {
    process_barriers.fetch_add(1, std::memory_order_relaxed);
    full_fence();
    if (!shoot_down()) visit_every_cpu();
}

} // namespace

void barrier_start() {
    const char *no_barrier = secure_getenv("ZELT_NO_MEMBARRIER");
    const bool refused =
        (no_barrier && *no_barrier && std::strcmp(no_barrier, "0") != 0) || !register_membarrier();
    fenced.store(refused, std::memory_order_relaxed);
}

void barrier_after_fork_child() { // a new process: membarrier registers anew
    if (!fenced.load(std::memory_order_relaxed) && !register_membarrier())
        fence_every_caller(); // before any other thread is made
}

void barrier() {
    if (lost) return process_barrier();
    if (fenced.load(std::memory_order_relaxed))
        return full_fence(); // callers fence since their first call
    if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return;
    lost = true;
    fence_every_caller(); // callers fence from their next call
    process_barrier();    // and those past their store are drained
}

} // namespace zelt::rt

unsigned long zelt::test_hooks::process_barriers() {
    return rt::process_barriers.load(std::memory_order_relaxed);
}
