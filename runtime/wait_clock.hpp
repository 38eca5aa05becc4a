// wait_clock.hpp: the clock and limits the runtime's waits share (one stream,
// a set, a selector): the monotonic clock in nanoseconds, and the kernel's
// sizes they pass.
#pragma once

#include <cstdint>    // int64_t
#include <ctime>      // clock_gettime, timespec
#include <sys/time.h> // timeval

namespace zelt::rt {

constexpr int64_t kNsecPerSec = 1000000000;
constexpr int64_t kForeverSec = int64_t{100} * 366 * 24 * 3600; // no limit: this one, far
constexpr long kSigsetBytes = 8;                                // the kernel's sigset_t: 64 signals

inline int64_t now_ns() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * kNsecPerSec + ts.tv_nsec;
}

inline int64_t to_ns(const timeval &tv) { return tv.tv_sec * kNsecPerSec + tv.tv_usec * 1000; }

inline timespec to_timespec(int64_t ns) {
    return {static_cast<time_t>(ns / kNsecPerSec), static_cast<long>(ns % kNsecPerSec)};
}

} // namespace zelt::rt
