// scale.cpp: zelt-scale, the one-shot wait on many streams against the bare
// system call, at 1, 10, 100, 1000 and 10000 streams with one ready:
// IO.wait_any(streams, 0) through the runtime's dispatch beside a raw ppoll
// over the same descriptors that then finds the ready one in its revents.
// Each side keeps its set as a program would: the Array of IO objects and
// the pollfd array are made once, before the batches.
//
// The streams are both ends of socket pairs (AF_UNIX, stream): every
// descriptor is a stream open for reading whose peer is open too, so N
// streams cost N descriptors (pipes would cost two: a read end and the
// write end that keeps it from its end). The ready stream is the last one,
// holding a byte its peer sent. The descriptor limit is raised to the hard
// limit first; every size's streams stay open for the whole run.
//
// Paired batches as in zelt-ratios: a batch of each side in turn, in one
// thread pinned to one CPU, timed in the thread's CPU time (kernel time
// included), the order swapped every other pair and the sizes taken in
// turn, a few pairs each, across the whole run; each ratio is the median
// over the pairs with its 95% interval.
//
// usage: zelt-scale [--pairs N] [--batch-us U]
// Prints JSON on standard output: { "N": {median, low, high, pairs, calls:
// [ours, raw], ns: {wait_any: ns per wait, raw_ppoll: ns per wait}} }.
#include "measure.hpp" // thread_cpu_ns, Pinned, median_of, keep, json_number
#include "streams.hpp" // socket_pair, Ends, Io

#include <algorithm>      // max, min
#include <cstdint>        // int64_t
#include <cstdio>         // printf, fprintf
#include <cstdlib>        // strtol, exit
#include <cstring>        // strcmp
#include <deque>          // the streams: IO objects stay where they are made
#include <poll.h>         // ppoll, pollfd
#include <stdexcept>      // runtime_error
#include <string>         // messages
#include <sys/resource.h> // getrlimit, setrlimit: the descriptor limit
#include <unistd.h>       // write
#include <vector>         // the sets, the samples
#include <zelt.h>         // zl_cIO

namespace {

constexpr long kSizes[] = {1, 10, 100, 1000, 10000};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "zelt-scale: %s\n", what.c_str());
    std::exit(1);
}

// The soft descriptor limit raised to the hard one: 10000 streams and more.
void raise_descriptor_limit() {
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) fail("getrlimit failed");
    r.rlim_cur = r.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &r) != 0) fail("setrlimit failed");
}

// N streams, the last one holding a byte; both sides' sets over them.
struct StreamSet {
    std::deque<zb::Io> ios;
    std::vector<zb::Ends> pairs; // the ends not yet handed to an IO object stay here
    std::vector<pollfd> fds;
    zl_value array = ZL_NIL;
    int ready_fd = -1;

    explicit StreamSet(long n) {
        std::vector<zl_value> values;
        std::vector<int> peer_of; // the descriptor that writes to each stream
        for (long i = 0; i < n; i += 2) {
            pairs.push_back(zb::socket_pair());
            zb::Ends &e = pairs.back();
            peer_of.push_back(e.peer.get());
            peer_of.push_back(e.near.get());
            ios.emplace_back(std::move(e.near));
            if (i + 1 < n) ios.emplace_back(std::move(e.peer)); // the peer end is a stream too
        }
        for (const zb::Io &io : ios) {
            values.push_back(io.value());
            fds.push_back({zelt::io_fd(io.value()), POLLIN, 0});
        }
        ready_fd = fds.back().fd;
        if (::write(peer_of[static_cast<std::size_t>(n - 1)], "x", 1) != 1) fail("write failed");
        array = zelt::array(values);
    }
    ~StreamSet() { zelt::release(array); }
    StreamSet(const StreamSet &) = delete;
    StreamSet &operator=(const StreamSet &) = delete;
};

using Batch = std::int64_t (*)(StreamSet &, long); // N waits; the CPU ns they took

// Ours: IO.wait_any(streams, 0), its answer checked and released.
std::int64_t ours(StreamSet &s, long calls) {
    static const zelt::Id wait_any = zelt::intern("wait_any");
    const zl_value argv[] = {s.array, zelt::integer(0)};
    const std::int64_t start = zb::thread_cpu_ns();
    for (long i = 0; i < calls; ++i) {
        const zl_value found = zelt::call(zl_cIO, wait_any, 2, argv);
        zb::keep(found);
        zelt::release(found);
    }
    return zb::thread_cpu_ns() - start;
}

// Raw: ppoll with a zero limit, then the ready ones found in the revents.
std::int64_t raw(StreamSet &s, long calls) {
    const timespec zero{};
    const std::int64_t start = zb::thread_cpu_ns();
    for (long i = 0; i < calls; ++i) {
        zb::keep(::ppoll(s.fds.data(), s.fds.size(), &zero, nullptr));
        int found = -1;
        for (const pollfd &p : s.fds)
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) found = p.fd;
        zb::keep(found);
    }
    return zb::thread_cpu_ns() - start;
}

// The number of waits that makes a batch last about TARGET_NS.
long calls_for(Batch run, StreamSet &s, std::int64_t target_ns) {
    long n = 1;
    while (run(s, n) < target_ns / 4 && n < (1L << 24)) n *= 2;
    const std::int64_t took = std::max<std::int64_t>(run(s, n), 1);
    return std::max(1L, static_cast<long>(static_cast<double>(n) * static_cast<double>(target_ns) /
                                          static_cast<double>(took)));
}

struct Size {
    explicit Size(long count) : n(count), set(count) {}
    long n;
    StreamSet set;
    long our_calls = 0, raw_calls = 0;
    std::vector<double> ratios, our_ns, raw_ns;

    void pair(bool ours_first) {
        std::int64_t o, r;
        if (ours_first) {
            o = ours(set, our_calls);
            r = raw(set, raw_calls);
        } else {
            r = raw(set, raw_calls);
            o = ours(set, our_calls);
        }
        const double a = static_cast<double>(o) / static_cast<double>(our_calls);
        const double b = static_cast<double>(r) / static_cast<double>(raw_calls);
        our_ns.push_back(a);
        raw_ns.push_back(b);
        ratios.push_back(a / b);
    }
};

void check_answer(Size &s) {
    const zl_value found = zelt::call(zl_cIO, "wait_any", {s.set.array, zelt::integer(0)});
    const std::vector<zl_value> values = zelt::array_values(found);
    if (values.size() != 1 || zelt::io_fd(values[0]) != s.set.ready_fd)
        fail("IO.wait_any over " + std::to_string(s.n) + " streams answered " +
             zelt::inspect(found));
    zelt::release(found);
}

} // namespace

int main(int argc, char **argv) {
    int pairs = 401;
    long batch_us = 1000;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--pairs") && has_value) {
            pairs = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--batch-us") && has_value) {
            batch_us = std::strtol(argv[++i], nullptr, 10);
        } else {
            std::fprintf(stderr, "usage: zelt-scale [--pairs N] [--batch-us U]\n");
            return 2;
        }
    }
    if (pairs < 101 || batch_us < 100) fail("at least 101 pairs and batches of 100 us");
    raise_descriptor_limit();
    zb::Pinned pinned;
    try {
        zb::methods(); // the wait extension, then its neighbour
        zelt::require("wait_many");
        std::deque<Size> sizes;
        for (long n : kSizes) {
            Size &s = sizes.emplace_back(n);
            check_answer(s);
            s.our_calls = calls_for(ours, s.set, batch_us * 1000);
            s.raw_calls = calls_for(raw, s.set, batch_us * 1000);
            for (int i = 0; i < pairs / 10; ++i) s.pair(i % 2 == 0); // warm-up, dropped
            s.ratios.clear();
            s.our_ns.clear();
            s.raw_ns.clear();
        }
        constexpr int kSpell = 20; // pairs of one size before the next one's turn
        for (int done = 0; done < pairs; done += kSpell)
            for (Size &s : sizes)
                for (int i = done; i < std::min(pairs, done + kSpell); ++i) s.pair(i % 2 == 0);
        std::printf("{");
        const char *sep = "";
        for (const Size &s : sizes) {
            const zb::Median r = zb::median_of(s.ratios);
            std::printf(
                "%s\n  \"%ld\": {\"median\": %s, \"low\": %s, \"high\": %s, \"pairs\": %zu, "
                "\"calls\": [%ld, %ld], \"ns\": {\"wait_any\": %s, \"raw_ppoll\": %s}}",
                sep, s.n, zb::json_number(r.median).c_str(), zb::json_number(r.low).c_str(),
                zb::json_number(r.high).c_str(), r.n, s.our_calls, s.raw_calls,
                zb::json_number(zb::median_of(s.our_ns).median).c_str(),
                zb::json_number(zb::median_of(s.raw_ns).median).c_str());
            std::fprintf(stderr, "wait_any/raw_ppoll over %5ld streams  %.4f  [%.4f, %.4f]\n", s.n,
                         r.median, r.low, r.high);
            sep = ",";
        }
        std::printf("\n}\n");
    } catch (const std::exception &e) {
        fail(e.what());
    }
    return 0;
}
