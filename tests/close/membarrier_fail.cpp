// membarrier_fail.cpp: membarrier's expedited barriers counted, and failed on
// request; syscall_hold.cpp's syscall(2) asks here for each.
#include "membarrier_fail.hpp"

#include <atomic>             // counts and the failure, seen by every thread
#include <linux/membarrier.h> // MEMBARRIER_CMD_PRIVATE_EXPEDITED

namespace close_test {
namespace {
std::atomic<long> made{0};
std::atomic<int> failure{0};
} // namespace

long membarriers_made() { return made.load(); }
void fail_membarrier_with(int errnum) { failure.store(errnum); }

int membarrier_failure(long cmd) {
    if (cmd != MEMBARRIER_CMD_PRIVATE_EXPEDITED) return 0;
    made.fetch_add(1);
    return failure.load();
}

} // namespace close_test
