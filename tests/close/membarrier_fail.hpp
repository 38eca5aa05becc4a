// membarrier_fail.hpp: count the barriers a close asks the kernel for, and
// make them fail as a seccomp filter installed after load would.
//
// membarrier_fail.cpp defines syscall(2) in the test executable, which exports
// it, so that libzelt's membarrier calls bind to it.
#pragma once

namespace close_test {

long membarriers_made();              // MEMBARRIER_CMD_PRIVATE_EXPEDITED calls so far
void fail_membarrier_with(int errnum); // from now on each fails so; 0: none fails

} // namespace close_test
