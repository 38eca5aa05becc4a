// masks.hpp: a thread's signal mask, read and compared as the kernel keeps it.
#pragma once

#include <csignal> // sigset_t

namespace zt {

sigset_t current_mask();                                 // this thread's
bool same_signals(const sigset_t &a, const sigset_t &b); // the bits past NSIG are not the kernel's

} // namespace zt
