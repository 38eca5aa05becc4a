// selector.cpp: zelt-selector, a Selector's costs as ratios to the bare
// epoll calls over the same streams, in paired batches (as zelt-ratios:
// one thread pinned to one CPU, a batch of ours then a batch of the raw
// call, the order swapped every other pair; the median ratio over the pairs
// with its 95% interval).
//
//   wait N      sel.wait(0) as a program calls it (the Array it answers
//               released), against epoll_wait(0) on an epoll instance of
//               the process's own holding the same N descriptors; one of
//               the N ready (a pipe holding a byte), the rest idle.
//   register    sel.register(io) then sel.deregister(io) against
//               epoll_ctl ADD then DEL of the same descriptor.
//
// N runs over 1, 10, 100, 1000 and 10000. The idle streams are dups of one
// idle pipe's read end, each its own registration (10000 pipes would pass
// the descriptor limit here).
//
// usage: zelt-selector [--pairs N] [--batch-us U]
// Prints JSON on standard output: { "KEY": {median, low, high, pairs, ns:
// {ours, raw}} }.
#include "measure.hpp" // thread_cpu_ns, Pinned, median_of, keep

#include <zelt.h>         // zl_value
#include <zelt/embed.hpp> // io_new, call, require, release

#include <cstdio>         // printf
#include <cstdlib>        // strtol, abort
#include <cstring>        // strcmp
#include <fcntl.h>        // O_CLOEXEC
#include <functional>     // the batches of a pairing
#include <string>         // keys
#include <sys/epoll.h>    // epoll_create1, epoll_ctl, epoll_wait
#include <sys/resource.h> // setrlimit: room for 10000 streams
#include <unistd.h>       // pipe2, dup, write, close
#include <vector>         // streams, samples

namespace {

using Batch = std::function<std::int64_t(long)>; // N calls; the CPU ns they took

template <class Call> Batch batch_of(Call call) {
    return [call](long n) {
        const std::int64_t start = zb::thread_cpu_ns();
        for (long i = 0; i < n; ++i) call();
        return zb::thread_cpu_ns() - start;
    };
}

struct Options {
    int pairs = 201;
    long batch_us = 2000;
};

struct Ratio {
    zb::Median ratio;
    double ours_ns, raw_ns;
};

// Pairs of batches, each about the batch length, the order swapped every other pair.
Ratio pair_up(const Batch &ours, const Batch &raw, const Options &o) {
    long n = 1;
    while (ours(n) < o.batch_us * 1000 && n < (1L << 24)) n *= 2; // calibrated on ours
    std::vector<double> ratios, ours_ns, raw_ns;
    for (int p = 0; p < o.pairs; ++p) {
        std::int64_t a, b;
        if (p % 2) {
            b = raw(n);
            a = ours(n);
        } else {
            a = ours(n);
            b = raw(n);
        }
        ratios.push_back(static_cast<double>(a) / static_cast<double>(b));
        ours_ns.push_back(static_cast<double>(a) / static_cast<double>(n));
        raw_ns.push_back(static_cast<double>(b) / static_cast<double>(n));
    }
    return {zb::median_of(ratios), zb::median_of(ours_ns).median, zb::median_of(raw_ns).median};
}

void print(const std::string &key, const Ratio &r, bool &first) {
    std::printf("%s\n  \"%s\": {\"median\": %s, \"low\": %s, \"high\": %s, \"pairs\": %zu, "
                "\"ns\": {\"ours\": %s, \"raw\": %s}}",
                first ? "" : ",", key.c_str(), zb::json_number(r.ratio.median).c_str(),
                zb::json_number(r.ratio.low).c_str(), zb::json_number(r.ratio.high).c_str(),
                r.ratio.n, zb::json_number(r.ours_ns).c_str(), zb::json_number(r.raw_ns).c_str());
    std::fflush(stdout);
    first = false;
}

struct Pipe {
    int read_end, write_end;
};

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
    return {fds[0], fds[1]};
}

// N streams in a Selector and in a raw epoll instance; the first holds a byte.
struct Set {
    zl_value sel;
    int raw;
    std::vector<zl_value> ios;
    Pipe ready, idle;

    explicit Set(int n) : sel(zelt::call(zelt::class_named("Selector"), "new")) {
        raw = ::epoll_create1(EPOLL_CLOEXEC);
        ready = make_pipe();
        idle = make_pipe();
        if (::write(ready.write_end, "x", 1) != 1) std::abort();
        for (int i = 0; i < n; ++i) {
            const int fd = i == 0 ? ready.read_end : ::dup(idle.read_end);
            ios.push_back(zelt::io_new(fd));
            zelt::call(sel, "register", {ios.back()});
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = static_cast<std::uint64_t>(i);
            ::epoll_ctl(raw, EPOLL_CTL_ADD, fd, &ev);
        }
    }
    ~Set() {
        zelt::release(sel);
        for (zl_value io : ios) zelt::release(io);
        ::close(raw);
        ::close(ready.write_end);
        ::close(idle.read_end);
        ::close(idle.write_end);
    }
    Set(const Set &) = delete;
    Set &operator=(const Set &) = delete;
};

} // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--pairs"))
            o.pairs = static_cast<int>(std::strtol(argv[i + 1], nullptr, 10));
        if (!std::strcmp(argv[i], "--batch-us")) o.batch_us = std::strtol(argv[i + 1], nullptr, 10);
    }
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = lim.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &lim);
    zelt::require("wait_many");
    zb::Pinned pinned;
    const zl_value zero = zelt::integer(0);
    const zelt::Id wait = zelt::intern("wait"); // as a program's call site holds it
    std::printf("{");
    bool first = true;
    for (const int n : {1, 10, 100, 1000, 10000}) {
        Set set(n);
        epoll_event events[64];
        const int raw = set.raw;
        const Batch raw_wait = batch_of([&] { zb::keep(::epoll_wait(raw, events, 64, 0)); });
        const Batch call_wait = batch_of([&] {
            const zl_value got = zelt::call(set.sel, wait, 1, &zero);
            zelt::release(got);
        });
        print("wait " + std::to_string(n), pair_up(call_wait, raw_wait, o), first);
    }
    {
        Set set(1);
        const zl_value io = set.ios[0];
        const int raw = set.raw, fd = set.ready.read_end;
        zelt::call(set.sel, "deregister", {io});
        ::epoll_ctl(raw, EPOLL_CTL_DEL, fd, nullptr);
        const Batch ours = batch_of([&] {
            zelt::call(set.sel, "register", {io});
            zelt::call(set.sel, "deregister", {io});
        });
        const Batch bare = batch_of([&] {
            epoll_event ev{};
            ev.events = EPOLLIN;
            ::epoll_ctl(raw, EPOLL_CTL_ADD, fd, &ev);
            ::epoll_ctl(raw, EPOLL_CTL_DEL, fd, nullptr);
        });
        print("register+deregister", pair_up(ours, bare, o), first);
    }
    std::printf("\n}\n");
    return 0;
}
