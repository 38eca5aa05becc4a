// membarrier_fail.cpp: membarrier's barriers counted, and failed on request;
// syscall_hold.cpp's syscall(2) asks here for each.
#include "membarrier_fail.hpp"

#include <atomic>             // counts and the failure, seen by every thread
#include <linux/membarrier.h> // MEMBARRIER_CMD_*

namespace close_test {
namespace {
std::atomic<long> expedited{0}, global{0};
std::atomic<int> failure{0};
std::atomic<bool> every_command{false};
} // namespace

long membarriers_made(long cmd) {
    return cmd == MEMBARRIER_CMD_GLOBAL ? global.load() : expedited.load();
}

void fail_membarrier_with(int errnum, bool outright) {
    every_command.store(outright);
    failure.store(errnum);
}

int membarrier_failure(long cmd) {
    if (cmd == MEMBARRIER_CMD_PRIVATE_EXPEDITED) {
        expedited.fetch_add(1);
        return failure.load();
    }
    if (cmd == MEMBARRIER_CMD_GLOBAL) global.fetch_add(1);
    return every_command.load() ? failure.load() : 0;
}

} // namespace close_test
