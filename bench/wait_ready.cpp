// wait_ready.cpp: wait(0) on a stream that is ready, beside the zero-limit
// ppoll and the ioctl that it makes.
#include "streams.hpp" // zb::Ends, zb::Io, zb::methods

#include <benchmark/benchmark.h> // BENCHMARK, State
#include <poll.h>                // ppoll
#include <sys/ioctl.h>           // ioctl, FIONREAD

namespace {

void raw_ppoll_ioctl(benchmark::State &state) {
    zb::Ends pipe = zb::pipe_holding("x");
    pollfd fds{pipe.near.get(), POLLIN, 0};
    const timespec zero{};
    int count = 0;
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(::ppoll(&fds, 1, &zero, nullptr));
        benchmark::DoNotOptimize(::ioctl(fds.fd, FIONREAD, &count));
        benchmark::DoNotOptimize(count);
    }
}

void wait_ready(benchmark::State &state) {
    const zelt::Id wait = zb::methods().wait;
    zb::Ends pipe = zb::pipe_holding("x");
    zb::Io io(std::move(pipe.near));
    const zl_value recv = io.value();
    const zl_value args[] = {zelt::integer(0)};
    if (zelt::call(recv, wait, 1, args) != recv) {
        state.SkipWithError("wait(0) on a ready pipe did not return the receiver");
        return;
    }
    for ([[maybe_unused]] auto _ : state) benchmark::DoNotOptimize(zelt::call(recv, wait, 1, args));
}

} // namespace

BENCHMARK(raw_ppoll_ioctl);
BENCHMARK(wait_ready);
