// masks.cpp: a thread's signal mask, read and compared as the kernel keeps it.
#include "masks.hpp"

#include <pthread.h> // pthread_sigmask

namespace zt {

sigset_t current_mask() {
    sigset_t m;
    sigemptyset(&m);
    pthread_sigmask(SIG_BLOCK, nullptr, &m);
    return m;
}

bool same_signals(const sigset_t &a, const sigset_t &b) {
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&a, sig) != sigismember(&b, sig)) return false;
    return true;
}

} // namespace zt
