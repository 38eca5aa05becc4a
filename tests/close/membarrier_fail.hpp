// membarrier_fail.hpp: count the barriers a close asks the kernel for, and
// make them fail as a seccomp filter installed after load would.
//
// syscall_hold.cpp's syscall(2), exported by the test executable, asks
// membarrier_failure for each membarrier the runtime makes.
#pragma once

namespace close_test {

long membarriers_made(long cmd); // CMD's calls so far
// From now on the expedited barrier fails with ERRNUM (0: none fails), and
// with OUTRIGHT every other command too.
void fail_membarrier_with(int errnum, bool outright = false);
int membarrier_failure(long cmd); // counts CMD; the errno it fails with, or 0

} // namespace close_test
