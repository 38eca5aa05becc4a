// pingpong.cpp: one byte bounced between two threads over a socket pair. Both
// sides wait the same way, then read: with ppoll alone (pingpong_raw), with
// ppoll and the FIONREAD that a wait makes once woken (pingpong_raw_ioctl:
// the same system calls as the wait method), or with the wait method.
#include "streams.hpp" // zb::Ends, zb::Io, zb::methods

#include <benchmark/benchmark.h> // BENCHMARK, State
#include <poll.h>                // ppoll
#include <sched.h>               // sched_setaffinity, sched_getcpu
#include <sys/ioctl.h>           // ioctl, FIONREAD
#include <sys/socket.h>          // shutdown
#include <thread>                // the peer
#include <unistd.h>              // read, write

namespace {

struct PpollSide {
    int fd;
    void wait() const {
        pollfd p{fd, POLLIN, 0};
        ::ppoll(&p, 1, nullptr, nullptr); // no limit
    }
};

struct PpollIoctlSide {
    int fd;
    void wait() const {
        pollfd p{fd, POLLIN, 0};
        ::ppoll(&p, 1, nullptr, nullptr); // no limit
        int count = 0;
        benchmark::DoNotOptimize(::ioctl(fd, FIONREAD, &count));
    }
};

struct WaitSide {
    int fd;
    zl_value io;
    zelt::Id id;
    void wait() const { zelt::call(io, id, 0, nullptr); } // no limit
};

// Waits for one byte and reads it; false at the end of the stream.
template <class Side> bool receive(const Side &side, char &byte) {
    side.wait();
    return ::read(side.fd, &byte, 1) == 1;
}

// Sends back every byte it gets until its stream ends, then ends its own,
// so that neither side is left waiting whichever stops first.
template <class Side> void echo(Side side) {
    try {
        char byte;
        while (receive(side, byte) && ::write(side.fd, &byte, 1) == 1) {
        }
    } catch (const zelt::Error &) { // ends the stream below; the timed side reports it
    }
    ::shutdown(side.fd, SHUT_WR);
}

// Keeps the calling thread, and the threads it starts, on the CPU it runs on
// now. A bounce is then two wake-ups and two switches on one CPU, and how
// long another CPU takes to wake from idle does not enter the measurement.
class OnOneCpu {
public:
    OnOneCpu() {
        sched_getaffinity(0, sizeof before_, &before_);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(sched_getcpu(), &one);
        sched_setaffinity(0, sizeof one, &one);
    }
    ~OnOneCpu() { sched_setaffinity(0, sizeof before_, &before_); }
    OnOneCpu(const OnOneCpu &) = delete;
    OnOneCpu &operator=(const OnOneCpu &) = delete;

private:
    cpu_set_t before_;
};

template <class Side> void bounce(benchmark::State &state, Side near, Side peer) {
    OnOneCpu pinned; // the echoer inherits it
    std::thread echoer(echo<Side>, peer);
    char byte = 'x';
    try {
        for ([[maybe_unused]] auto _ : state) {
            if (::write(near.fd, &byte, 1) != 1 || !receive(near, byte)) {
                state.SkipWithError("the echoing side stopped");
                break;
            }
        }
    } catch (const zelt::Error &e) {
        state.SkipWithError(e.what());
    }
    ::shutdown(near.fd, SHUT_WR); // the echoer reads the end and returns
    echoer.join();
}

void pingpong_raw(benchmark::State &state) {
    zb::Ends pair = zb::socket_pair();
    bounce(state, PpollSide{pair.near.get()}, PpollSide{pair.peer.get()});
}

void pingpong_raw_ioctl(benchmark::State &state) {
    zb::Ends pair = zb::socket_pair();
    bounce(state, PpollIoctlSide{pair.near.get()}, PpollIoctlSide{pair.peer.get()});
}

void pingpong_wait(benchmark::State &state) {
    const zelt::Id wait = zb::methods().wait;
    zb::Ends pair = zb::socket_pair();
    const int near_fd = pair.near.get(), peer_fd = pair.peer.get();
    zb::Io near(std::move(pair.near)), peer(std::move(pair.peer));
    bounce(state, WaitSide{near_fd, near.value(), wait}, WaitSide{peer_fd, peer.value(), wait});
}

} // namespace

// Timed in the CPU time of both threads: on a machine that others share, a
// round trip's wall time swings with whatever else runs on that CPU.
BENCHMARK(pingpong_raw)->MeasureProcessCPUTime();
BENCHMARK(pingpong_raw_ioctl)->MeasureProcessCPUTime();
BENCHMARK(pingpong_wait)->MeasureProcessCPUTime();
