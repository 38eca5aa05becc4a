// syscall_words.hpp: how many words a call of syscall(2) passed after the
// number, for the tests' definitions of syscall that pass it on.
#pragma once

#include <sys/syscall.h> // SYS_ppoll, SYS_membarrier, SYS_tgkill, ...

namespace zh {

// The arguments of the system calls the runtime and the tests make through
// syscall(2); six for any other. Reading more words than the caller passed
// reads its frame, which AddressSanitizer rightly refuses.
constexpr int syscall_words(long number) {
    switch (number) {
    case SYS_membarrier:                  // cmd, flags, cpu
    case SYS_tgkill: return 3;            // tgid, tid, sig
    case SYS_rt_sigprocmask:              // how, set, old, size
    case SYS_rt_tgsigqueueinfo: return 4; // tgid, tid, sig, info
    case SYS_ppoll: return 5;             // fds, nfds, limit, mask, size
    default: return 6;                    // futex and the rest: the kernel's most
    }
}

} // namespace zh
