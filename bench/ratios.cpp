// ratios.cpp: zelt-ratios, each method's cost as a ratio to the bare system
// calls its path makes, measured as pairs of short batches: a batch of the
// method, a batch of its raw counterpart, in one thread pinned to one CPU,
// the order swapped every other pair. Whatever else the machine does (other
// builds, frequency steps, a neighbour's cache traffic) falls on both
// batches of a pair alike, so each pair's ratio is nearly free of it, and
// the median over many pairs, with its 95% interval, is what is reported.
//
// Batches are timed in CPU time: the thread's own, or for the ping-pong the
// whole process's (both threads, kernel time included). A batch lasts about
// --batch-us microseconds, so that reading the clock (a system call for
// these clocks, a few hundred ns) and its resolution are a small fraction of
// it and fall on both sides alike.
//
// usage: zelt-ratios [--pairs N] [--batch-us U] [--only KEY]
// Prints JSON on standard output: { "KEY": {median, low, high, pairs,
// calls: [top, bottom], ns: {TOP: ns per call, BOTTOM: ns per call}} }.
#include "measure.hpp" // thread_cpu_ns, process_cpu_ns, Pinned, median_of, keep
#include "streams.hpp" // pipe_holding, socket_pair, methods, Io

#include <algorithm>    // min
#include <cstdio>       // printf, fprintf
#include <cstdlib>      // strtol, exit
#include <cstring>      // strcmp
#include <fcntl.h>      // fcntl, F_SETPIPE_SZ: a one-page pipe
#include <functional>   // the batches of a pairing
#include <poll.h>       // ppoll
#include <string>       // keys
#include <sys/ioctl.h>  // ioctl, FIONREAD, TIOCOUTQ
#include <sys/socket.h> // shutdown
#include <thread>       // the ping-pong's echoers
#include <unistd.h>     // read, write, getppid
#include <vector>       // samples

namespace {

using Clock = std::int64_t (*)();
using Batch = std::function<std::int64_t(long)>; // N calls; the CPU ns they took

// A batch of N calls of CALL, timed on CLOCK.
template <class Call> Batch batch_of(Call call, Clock clock = zb::thread_cpu_ns) {
    return [call, clock](long n) {
        const std::int64_t start = clock();
        for (long i = 0; i < n; ++i) call();
        return clock() - start;
    };
}

struct Side {
    std::string name;
    Batch run;
};

struct Pairing {
    std::string top_name, bottom_name;
    Batch top, bottom;
    std::string key() const { return top_name + "/" + bottom_name; }
};

[[noreturn]] void fail(const std::string &what) {
    std::fprintf(stderr, "zelt-ratios: %s\n", what.c_str());
    std::exit(1);
}

// The number of calls that makes a batch last about TARGET_NS.
long calls_for(const Batch &run, std::int64_t target_ns) {
    long n = 4;
    std::int64_t took = run(n);
    while (took < target_ns / 8 && n < (1L << 30)) took = run(n *= 2);
    long best = n;
    for (int i = 0; i < 3; ++i) { // the quickest of three: load elsewhere only lengthens
        const std::int64_t t = std::max<std::int64_t>(run(n), 1);
        best = std::max(best,
                        static_cast<long>(static_cast<double>(n) * static_cast<double>(target_ns) /
                                          static_cast<double>(t)));
        took = t;
    }
    return std::max(best, 1L);
}

// ---- the sides --------------------------------------------------------------

struct Streams { // every descriptor and IO object the sides run on, for the whole run
    zb::Ends ioctl_pipe = zb::pipe_holding("x");
    zb::Ends ppoll_pipe = zb::pipe_holding("x");
    zb::Ends kernel_pipe = zb::pipe_holding("x");
    zb::Io kernel_io{std::move(kernel_pipe.near)};
    zb::Ends buffered_pipe = zb::pipe_holding("a\nbcd\n");
    zb::Io buffered_io{std::move(buffered_pipe.near)};
    zb::Ends wait_pipe = zb::pipe_holding("x");
    zb::Io wait_io{std::move(wait_pipe.near)};
};

void expect(zl_value got, zl_value want, const char *what) {
    if (got != want) fail(std::string(what) + " answered " + zelt::inspect(got));
}

// A bare system call that does nothing: the machine's price of entering the
// kernel and leaving it, beside which every ratio here is read.
Batch raw_getppid() {
    return batch_of([] { zb::keep(::getppid()); });
}

Batch raw_ioctl(int fd) {
    return batch_of([fd] {
        int count = 0;
        zb::keep(::ioctl(fd, FIONREAD, &count));
        zb::keep(count);
    });
}

Batch raw_ppoll_ioctl(int fd) {
    return batch_of([fd] {
        pollfd p{fd, POLLIN, 0};
        const timespec zero{};
        int count = 0;
        zb::keep(::ppoll(&p, 1, &zero, nullptr));
        zb::keep(::ioctl(fd, FIONREAD, &count));
        zb::keep(count);
    });
}

Batch raw_ppoll_out(int fd) {
    return batch_of([fd] {
        pollfd p{fd, POLLOUT, 0};
        const timespec zero{};
        zb::keep(::ppoll(&p, 1, &zero, nullptr));
    });
}

Batch raw_outq(int fd) {
    return batch_of([fd] {
        int queued = 0;
        zb::keep(::ioctl(fd, TIOCOUTQ, &queued)); // SIOCOUTQ on a socket
        zb::keep(queued);
    });
}

Batch method(zl_value recv, zelt::Id id, int argc, const zl_value *argv) {
    return batch_of([recv, id, argc, argv] { zb::keep(zelt::call(recv, id, argc, argv)); });
}

// ---- the ping-pong ----------------------------------------------------------
// One byte bounced over a socket pair between this thread and an echoer,
// both on this one CPU. Each side waits for the byte, then reads it: with
// ppoll, the FIONREAD and the read (the system calls a wait makes, then the
// read), or with the wait method and the read.

void ppoll_ioctl_wait(int fd) {
    pollfd p{fd, POLLIN, 0};
    ::ppoll(&p, 1, nullptr, nullptr); // no limit
    int count = 0;
    zb::keep(::ioctl(fd, FIONREAD, &count));
}

template <class Wait> bool receive(int fd, const Wait &wait) {
    wait();
    char byte;
    return ::read(fd, &byte, 1) == 1;
}

// Sends back every byte until its stream ends, then ends its own.
template <class Wait> void echo(int fd, Wait wait) {
    try {
        const char byte = 'x';
        while (receive(fd, wait) && ::write(fd, &byte, 1) == 1) {
        }
    } catch (const zelt::Error &e) {
        std::fprintf(stderr, "zelt-ratios: echoer: %s\n", e.what());
    }
    ::shutdown(fd, SHUT_WR);
}

template <class Wait> Batch bounce(int fd, Wait wait) {
    return batch_of(
        [fd, wait] {
            const char byte = 'x';
            if (::write(fd, &byte, 1) != 1 || !receive(fd, wait)) fail("the echoer stopped");
        },
        zb::process_cpu_ns);
}

struct PingPong {
    zb::Ends raw = zb::socket_pair();
    zb::Ends waited = zb::socket_pair();
    int waited_near = waited.near.get(), waited_peer = waited.peer.get();
    zb::Io near{std::move(waited.near)}, peer{std::move(waited.peer)};
    std::thread raw_echo, wait_echo;

    void start() {
        const zelt::Id wait = zb::methods().wait;
        const int raw_peer = raw.peer.get();
        raw_echo =
            std::thread([raw_peer] { echo(raw_peer, [raw_peer] { ppoll_ioctl_wait(raw_peer); }); });
        const zl_value peer_io = peer.value();
        wait_echo = std::thread([this, peer_io, wait] {
            echo(waited_peer, [peer_io, wait] { zelt::call(peer_io, wait, 0, nullptr); });
        });
    }
    ~PingPong() { // the echoers read the end of their streams and return
        ::shutdown(raw.near.get(), SHUT_WR);
        ::shutdown(waited_near, SHUT_WR);
        if (raw_echo.joinable()) raw_echo.join();
        if (wait_echo.joinable()) wait_echo.join();
    }
};

// ---- the writer's ping-pong -------------------------------------------------
// A writer fills a one-page pipe with each write, so that its next wait for
// writable sleeps until a reader, on the same CPU, has drained the page.
// Each side waits with a bare ppoll for POLLOUT, or with wait_writable, then
// writes the page; the readers read pages as they come.

constexpr int kPage = 4096;

void ppoll_out_wait(int fd) {
    pollfd p{fd, POLLOUT, 0};
    ::ppoll(&p, 1, nullptr, nullptr); // no limit
}

// Reads FD until its end.
void reader(int fd) {
    char page[kPage];
    while (::read(fd, page, sizeof page) > 0) {
    }
}

template <class Wait> Batch fill_after(int fd, Wait wait) {
    return batch_of(
        [fd, wait] {
            static const char page[kPage] = {};
            wait();
            if (::write(fd, page, sizeof page) != kPage) fail("the reader stopped");
        },
        zb::process_cpu_ns);
}

struct WriterPingPong {
    zb::Ends raw = one_page_pipe(), waited = one_page_pipe();
    int raw_fd = raw.peer.get(), waited_fd = waited.peer.get();
    zb::Io writer{std::move(waited.peer)};
    std::thread raw_reader, wait_reader;

    static zb::Ends one_page_pipe() {
        zb::Ends e = zt::make_pipe();
        if (::fcntl(e.peer.get(), F_SETPIPE_SZ, kPage) < 0) fail("F_SETPIPE_SZ");
        return e;
    }
    void start() {
        raw_reader = std::thread(reader, raw.near.get());
        wait_reader = std::thread(reader, waited.near.get());
    }
    ~WriterPingPong() { // the readers read the end of their pipes and return
        raw.peer.reset();
        zelt::call(writer, "close");
        if (raw_reader.joinable()) raw_reader.join();
        if (wait_reader.joinable()) wait_reader.join();
    }
};

// ---- running a pairing ------------------------------------------------------

// One pairing's batch lengths and the pairs measured so far.
struct Measured {
    const Pairing *p;
    long top_calls, bottom_calls;
    std::vector<double> ratios, top_ns, bottom_ns;

    void pair(bool top_first) {
        std::int64_t top, bottom;
        if (top_first) {
            top = p->top(top_calls);
            bottom = p->bottom(bottom_calls);
        } else {
            bottom = p->bottom(bottom_calls);
            top = p->top(top_calls);
        }
        const double t = static_cast<double>(top) / static_cast<double>(top_calls);
        const double b = static_cast<double>(bottom) / static_cast<double>(bottom_calls);
        top_ns.push_back(t);
        bottom_ns.push_back(b);
        ratios.push_back(t / b);
    }

    void print(bool first) const {
        const zb::Median r = zb::median_of(ratios);
        std::printf("%s\n  \"%s\": {\"median\": %s, \"low\": %s, \"high\": %s, \"pairs\": %zu, "
                    "\"calls\": [%ld, %ld], \"ns\": {\"%s\": %s, \"%s\": %s}}",
                    first ? "" : ",", p->key().c_str(), zb::json_number(r.median).c_str(),
                    zb::json_number(r.low).c_str(), zb::json_number(r.high).c_str(), r.n, top_calls,
                    bottom_calls, p->top_name.c_str(),
                    zb::json_number(zb::median_of(top_ns).median).c_str(), p->bottom_name.c_str(),
                    zb::json_number(zb::median_of(bottom_ns).median).c_str());
        std::fprintf(stderr, "%-40s %.4f  [%.4f, %.4f]\n", p->key().c_str(), r.median, r.low,
                     r.high);
    }
};

// Every pairing in turn, a few pairs at a time, so that each is measured
// across the whole run: a spell of load elsewhere on the machine then falls
// on all of them rather than on whichever ran at that moment.
void run(const std::vector<const Pairing *> &chosen, int pairs, std::int64_t batch_ns) {
    constexpr int kSpell = 25; // pairs of one pairing before the next one's turn
    std::vector<Measured> all;
    all.reserve(chosen.size());
    for (const Pairing *p : chosen) {
        Measured m{p, calls_for(p->top, batch_ns), calls_for(p->bottom, batch_ns), {}, {}, {}};
        m.ratios.reserve(pairs);
        m.top_ns.reserve(pairs);
        m.bottom_ns.reserve(pairs);
        for (int i = 0; i < pairs / 10; ++i) { // warm-up: caches, predictors, CPU frequency
            p->top(m.top_calls);
            p->bottom(m.bottom_calls);
        }
        all.push_back(std::move(m));
    }
    for (int done = 0; done < pairs; done += kSpell)
        for (Measured &m : all)
            for (int i = done; i < std::min(pairs, done + kSpell); ++i) m.pair(i % 2 == 0);
    std::printf("{");
    for (std::size_t i = 0; i < all.size(); ++i) all[i].print(i == 0);
    std::printf("\n}\n");
}

} // namespace

int main(int argc, char **argv) {
    int pairs = 1001;
    long batch_us = 200;
    const char *only = nullptr;
    for (int i = 1; i < argc; ++i) {
        const bool has_value = i + 1 < argc;
        if (!std::strcmp(argv[i], "--pairs") && has_value) {
            pairs = static_cast<int>(std::strtol(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--batch-us") && has_value) {
            batch_us = std::strtol(argv[++i], nullptr, 10);
        } else if (!std::strcmp(argv[i], "--only") && has_value) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: zelt-ratios [--pairs N] [--batch-us U] [--only KEY]\n");
            return 2;
        }
    }
    if (pairs < 301 || batch_us < 20) fail("at least 301 pairs and batches of 20 us");

    zb::Pinned pinned; // this thread and the echoers it starts: one CPU
    try {
        const zb::Methods &m = zb::methods();
        Streams s;
        const zl_value zero[] = {zelt::integer(0)};
        zelt::release(zelt::call(s.buffered_io, m.gets, 0, nullptr)); // "bcd\n" stays buffered
        // Each method answers as its path says before it is timed.
        expect(zelt::call(s.kernel_io, m.nread, 0, nullptr), zelt::integer(1), "nread");
        expect(zelt::call(s.kernel_io, m.ready, 0, nullptr), ZL_TRUE, "ready?");
        expect(zelt::call(s.buffered_io, m.nread, 0, nullptr), zelt::integer(4), "buffered nread");
        expect(zelt::call(s.wait_io, m.wait, 1, zero), s.wait_io.value(), "wait(0)");

        PingPong pp;
        pp.start();
        const zb::WriteMethods &w = zb::write_methods();
        WriterPingPong wpp;
        wpp.start();
        const zl_value writer_io = wpp.writer.value();
        const zelt::Id wait_writable = w.wait_writable;
        const int raw_writer = wpp.raw_fd;
        zb::Ends out_pipe = zt::make_pipe(), raw_out_pipe = zt::make_pipe();
        zb::Ends out_sock = zb::socket_pair(), raw_out_sock = zb::socket_pair();
        zb::Io out_io(std::move(out_pipe.peer)), out_sock_io(std::move(out_sock.near));
        expect(zelt::call(out_io, w.writable, 0, nullptr), ZL_TRUE, "writable?");
        expect(zelt::call(out_sock_io, w.nwrite, 0, nullptr), zelt::integer(0), "nwrite");
        const int raw_fd = pp.raw.near.get();
        const zl_value near_io = pp.near.value();
        const zelt::Id wait = m.wait;

        const std::vector<Pairing> pairings = {
            {"nread_kernel", "raw_ioctl", method(s.kernel_io, m.nread, 0, nullptr),
             raw_ioctl(s.ioctl_pipe.near.get())},
            {"ready_kernel", "raw_ioctl", method(s.kernel_io, m.ready, 0, nullptr),
             raw_ioctl(s.ioctl_pipe.near.get())},
            {"nread_buffered", "raw_ioctl", method(s.buffered_io, m.nread, 0, nullptr),
             raw_ioctl(s.ioctl_pipe.near.get())},
            {"wait_ready", "raw_ppoll_ioctl", method(s.wait_io, m.wait, 1, zero),
             raw_ppoll_ioctl(s.ppoll_pipe.near.get())},
            {"raw_getppid", "raw_ioctl", raw_getppid(), raw_ioctl(s.ioctl_pipe.near.get())},
            {"writable_kernel", "raw_ppoll_out", method(out_io, w.writable, 0, nullptr),
             raw_ppoll_out(raw_out_pipe.peer.get())},
            {"nwrite_kernel", "raw_outq", method(out_sock_io, w.nwrite, 0, nullptr),
             raw_outq(raw_out_sock.near.get())},
            {"pingpong_wait_writable", "pingpong_raw_ppoll_write",
             fill_after(
                 wpp.waited_fd,
                 [writer_io, wait_writable] { zelt::call(writer_io, wait_writable, 0, nullptr); }),
             fill_after(raw_writer, [raw_writer] { ppoll_out_wait(raw_writer); })},
            {"pingpong_wait", "pingpong_raw_ioctl",
             bounce(pp.waited_near, [near_io, wait] { zelt::call(near_io, wait, 0, nullptr); }),
             bounce(raw_fd, [raw_fd] { ppoll_ioctl_wait(raw_fd); })},
        };
        std::vector<const Pairing *> chosen;
        for (const Pairing &p : pairings)
            if (!only || p.key() == only) chosen.push_back(&p);
        run(chosen, pairs, batch_us * 1000);
    } catch (const std::exception &e) {
        fail(e.what());
    }
    return 0;
}
