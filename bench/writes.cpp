// writes.cpp: the cost of a small write through the dispatch, buffered and
// unbuffered, beside a raw write(2) of the same bytes in the same run: to
// /dev/null (the cheapest write the kernel has) and to a pipe (the runtime
// holds SIGPIPE off around each write(2) there). Batches of each kind
// alternate, so that the machine's drift touches all alike; the medians of
// the per-call times and their ratios to the raw call are printed.
// usage: zelt-writes [BYTES] (default 16)
#include "streams.hpp" // zb::Ends, zb::Io

#include <zelt/embed.hpp> // call, str, intern

#include <algorithm>   // sort: medians
#include <cstdio>      // printf
#include <cstdlib>     // atoi
#include <ctime>       // clock_gettime
#include <fcntl.h>     // open
#include <string>      // the payload
#include <sys/ioctl.h> // FIONREAD: the pipe drained between batches
#include <unistd.h>    // write, read
#include <vector>      // samples

namespace {

constexpr int kBatch = 1000;  // calls per timed batch
constexpr int kBatches = 301; // per kind: the median is one of them

double now_ns() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void drain(int fd) {
    char chunk[65536];
    for (int n = 0; ::ioctl(fd, FIONREAD, &n) == 0 && n > 0;)
        if (::read(fd, chunk, sizeof chunk) <= 0) break;
}

enum Kind { Raw, Unbuffered, Buffered, kKinds };
const char *const kNames[kKinds] = {"raw write(2)", "write, sync = true", "write, buffered"};

// One target: the raw descriptor and two IO objects on the same file.
void run(const char *target, int raw_fd, zl_value unbuffered, zl_value buffered, int drain_fd,
         const std::string &payload) {
    const zelt::Id write = zelt::intern("write");
    const zl_value s = zelt::str(payload);
    zelt::call(unbuffered, "sync=", {ZL_TRUE});
    zelt::call(buffered, "sync=", {ZL_FALSE});
    std::vector<double> per_call[kKinds];
    for (int b = 0; b < kBatches; ++b)
        for (int k = 0; k < kKinds; ++k) {
            const int kind = (k + b) % kKinds; // each kind first in turn
            const double start = now_ns();
            for (int i = 0; i < kBatch; ++i) {
                if (kind == Raw) {
                    if (::write(raw_fd, payload.data(), payload.size()) < 0) std::abort();
                } else {
                    zelt::call(kind == Buffered ? buffered : unbuffered, write, 1, &s);
                }
            }
            per_call[kind].push_back((now_ns() - start) / kBatch);
            if (drain_fd >= 0) drain(drain_fd);
        }
    const double raw = median(per_call[Raw]);
    std::printf("%s, %zu bytes a write, medians of %d batches of %d:\n", target, payload.size(),
                kBatches, kBatch);
    for (int k = 0; k < kKinds; ++k) {
        const double m = median(per_call[k]);
        std::printf("  %-20s %8.1f ns  %6.3f x raw\n", kNames[k], m, m / raw);
    }
    zelt::release(s);
}

} // namespace

int main(int argc, char **argv) {
    const std::string payload(argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 16, 'w');
    {
        const int raw = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        zb::Io unbuffered(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        zb::Io buffered(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        run("/dev/null", raw, unbuffered.value(), buffered.value(), -1, payload);
        ::close(raw);
    }
    {
        zb::Ends pipe = zt::make_pipe();
        const int wfd = pipe.peer.get();
        zb::Io unbuffered(::dup(wfd));
        zb::Io buffered(::dup(wfd));
        run("pipe", wfd, unbuffered.value(), buffered.value(), pipe.near.get(), payload);
    }
    return 0;
}
