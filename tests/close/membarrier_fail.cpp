// membarrier_fail.cpp: syscall(2), counting membarrier's expedited barriers
// and failing them on request; every other call goes to the C library's.
//
// No header that declares syscall is included: this file defines it.
#include "membarrier_fail.hpp"

#include <atomic>             // counts and the failure, seen by every thread
#include <cerrno>             // errno
#include <cstdarg>            // syscall's arguments
#include <dlfcn.h>            // dlsym, RTLD_NEXT
#include <linux/membarrier.h> // MEMBARRIER_CMD_PRIVATE_EXPEDITED
#include <sys/syscall.h>      // SYS_membarrier

namespace close_test {
namespace {
std::atomic<long> made{0};
std::atomic<int> failure{0};
} // namespace

long membarriers_made() { return made.load(); }
void fail_membarrier_with(int errnum) { failure.store(errnum); }

} // namespace close_test

extern "C" long syscall(long number, ...) {
    using Syscall = long (*)(long, ...);
    static const Syscall real = reinterpret_cast<Syscall>(dlsym(RTLD_NEXT, "syscall"));
    va_list args;
    va_start(args, number);
    long a[6];
    for (long &v : a) v = va_arg(args, long); // every call here takes at most six words
    va_end(args);
    if (number == SYS_membarrier && a[0] == MEMBARRIER_CMD_PRIVATE_EXPEDITED) {
        close_test::made.fetch_add(1);
        if (const int err = close_test::failure.load()) {
            errno = err;
            return -1;
        }
    }
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}
