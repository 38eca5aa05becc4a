// timed_wait.hpp: one zl_wait_for_single_fd call, with its errno and duration.
#pragma once

#include <zelt.h> // zl_wait_for_single_fd

#include <cerrno> // errno
#include <chrono> // steady_clock: the monotonic clock the wait keeps to

namespace rt_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct TimedWait {
    int result;
    int err; // errno after the call, meaningful when result < 0
    Clock::duration took;
};

inline TimedWait timed_wait(int fd, int events, timeval *limit) {
    auto start = Clock::now();
    errno = 0;
    int result = zl_wait_for_single_fd(fd, events, limit);
    int err = errno;
    return {result, err, Clock::now() - start};
}

// Upper bound on the time a wait may take beyond what it was asked for: the
// kernel's timer slack plus scheduling on a loaded machine, far above both.
constexpr auto kLateness = 250ms;

} // namespace rt_test
