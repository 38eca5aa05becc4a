// measure.cpp: clocks, pinning and the median's interval.
#include "measure.hpp" // Pinned, Median, the clocks

#include <algorithm> // sort, nth_element
#include <cmath>     // sqrt, floor, ceil
#include <cstdio>    // snprintf
#include <cstring>   // memcpy
#include <sched.h>   // sched_setaffinity, sched_getcpu, cpu_set_t
#include <time.h>    // clock_gettime

namespace zb {
namespace {

std::int64_t ns_of(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

static_assert(sizeof(cpu_set_t) <= 128, "Pinned keeps the mask in 128 bytes");

} // namespace

std::int64_t thread_cpu_ns() { return ns_of(CLOCK_THREAD_CPUTIME_ID); }
std::int64_t process_cpu_ns() { return ns_of(CLOCK_PROCESS_CPUTIME_ID); }
std::int64_t monotonic_ns() { return ns_of(CLOCK_MONOTONIC); }

Pinned::Pinned(int cpu) {
    cpu_set_t before;
    sched_getaffinity(0, sizeof before, &before);
    std::memcpy(before_, &before, sizeof before);
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu < 0 ? sched_getcpu() : cpu, &one);
    sched_setaffinity(0, sizeof one, &one);
}

Pinned::~Pinned() {
    cpu_set_t before;
    std::memcpy(&before, before_, sizeof before);
    sched_setaffinity(0, sizeof before, &before);
}

int cpu_count() {
    cpu_set_t set;
    sched_getaffinity(0, sizeof set, &set);
    return CPU_COUNT(&set);
}

Median median_of(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    if (n == 0) return {0, 0, 0, 0};
    const auto count = static_cast<double>(n);
    const double mid = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // Ranks (1-based) j and k with P(X(j) <= median <= X(k)) >= 0.95 for any
    // continuous distribution, by the normal approximation to Binomial(n, 1/2).
    const double half_width = 1.96 * std::sqrt(count) / 2;
    const auto j = static_cast<std::size_t>(std::max(1.0, std::floor(count / 2 - half_width)));
    const auto k = static_cast<std::size_t>(std::min(count, std::ceil(count / 2 + 1 + half_width)));
    return {mid, samples[j - 1], samples[k - 1], n};
}

double percentile(std::vector<double> samples, double p) {
    if (samples.empty()) return 0;
    const auto n = static_cast<double>(samples.size());
    const auto rank = static_cast<std::ptrdiff_t>(std::clamp(std::ceil(p / 100 * n), 1.0, n));
    std::nth_element(samples.begin(), samples.begin() + (rank - 1), samples.end());
    return samples[static_cast<std::size_t>(rank - 1)];
}

std::string json_number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

} // namespace zb
