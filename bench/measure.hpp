// measure.hpp: clocks, pinning and order statistics for the paired ratios
// and the growth measurements.
#pragma once

#include <cstdint> // int64_t
#include <string>  // JSON text
#include <vector>  // samples

namespace zb {

// Nanoseconds of CPU time spent by the calling thread, or by the whole
// process (every thread, kernel time included), and of the monotonic clock.
std::int64_t thread_cpu_ns();
std::int64_t process_cpu_ns();
std::int64_t monotonic_ns();

// Keeps the calling thread, and the threads it starts from now on, on one
// CPU: CPU (or, when negative, the one it runs on now). Restored on exit.
class Pinned {
public:
    explicit Pinned(int cpu = -1);
    ~Pinned();
    Pinned(const Pinned &) = delete;
    Pinned &operator=(const Pinned &) = delete;

private:
    unsigned char before_[128]; // the cpu_set_t it had, kept opaque here
};
int cpu_count(); // CPUs this process may run on

// The median of SAMPLES with its distribution-free 95% interval: the order
// statistics at ranks n/2 -+ 0.98 sqrt(n), whatever the distribution.
struct Median {
    double median, low, high;
    std::size_t n;
};
Median median_of(std::vector<double> samples);
double percentile(std::vector<double> samples, double p); // nearest rank, p in [0, 100]

// Minimal JSON output: a number with enough digits, a quoted key.
std::string json_number(double v);

// Keeps V (a call's result) alive in a register, so the call is not elided.
template <class T> inline void keep(const T &v) { asm volatile("" : : "r,m"(v) : "memory"); }

} // namespace zb
