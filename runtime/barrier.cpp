// barrier.cpp: the close's side of the pairing with the callers' plain stores.
//
// A caller stores its chain entry, then loads `closed`; the close stores
// `closed`, then makes its barrier, then scans the chains. Either both sides
// fence, or the barrier puts a full barrier, between the two, in every other
// thread of the process. Only membarrier(2) promises that, and the same on
// x86-64 and arm64: the kernel runs a full barrier (a locked instruction;
// DMB ISH) on each CPU that runs a thread of the process, by interrupt, and a
// thread not running passed the one in the scheduler's switch. Nothing here
// rests on a side effect of another call: a TLB shootdown interrupts no CPU
// where TLBs are invalidated by broadcast (arm64; AMD's INVLPGB), and running
// on each CPU in turn misses a thread pinned where this one may not run.
//
// - At load: membarrier(REGISTER_PRIVATE_EXPEDITED), unless ZELT_NO_MEMBARRIER
//   is set (ignored in a secure-execution process). Refused, or set: callers
//   fence after each store from their first call, and a close fences.
// - Each close: membarrier(PRIVATE_EXPEDITED).
// - It fails after registration (a seccomp filter installed since, or ENOMEM
//   for the CPU mask it allocates): the close switches every caller to fences
//   for good, then makes membarrier(GLOBAL), which needs no registration and
//   allocates nothing: every thread passes a full barrier (a grace period,
//   milliseconds, once). A caller that read the old mode is seen, and every
//   later load reads the new one, so later closes fence as above.
// - GLOBAL refused too (membarrier refused outright): nothing shows a store
//   that such a caller may still make, to this close or any later scan, so
//   ordered() is false: no descriptor is given back while another thread has
//   made calls (in_flight.cpp), until a fork child, which starts alone.
// Called under the thread table's lock only, so its state needs no more.
#include "internal.hpp"

#include <cstdlib>            // secure_getenv
#include <cstring>            // strcmp
#include <linux/membarrier.h> // MEMBARRIER_CMD_*
#include <sys/syscall.h>      // SYS_membarrier
#include <unistd.h>           // syscall

namespace zelt::rt {

std::atomic<bool> fenced{false};

namespace {

bool unordered = false; // no barrier left since the switch to fences

long membarrier(int cmd) { return syscall(SYS_membarrier, cmd, 0, 0); }

bool register_membarrier() { return membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0; }

} // namespace

void barrier_start() {
    const char *no_barrier = secure_getenv("ZELT_NO_MEMBARRIER");
    const bool refused =
        (no_barrier && *no_barrier && std::strcmp(no_barrier, "0") != 0) || !register_membarrier();
    fenced.store(refused, std::memory_order_relaxed);
}

void barrier_after_fork_child() { // a new process of one thread: every later one fences
    unordered = false;
    if (!fenced.load(std::memory_order_relaxed) && !register_membarrier())
        fence_every_caller(); // before any other thread is made
}

void barrier() {
    if (fenced.load(std::memory_order_relaxed))
        return full_fence(); // callers fence since their first call, or since the switch
    if (membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) == 0) return;
    fence_every_caller(); // callers fence from their next call
    full_fence();         // the switch, then the barrier that shows it to them
    unordered = membarrier(MEMBARRIER_CMD_GLOBAL) != 0;
}

bool ordered() { return !unordered; }

} // namespace zelt::rt
