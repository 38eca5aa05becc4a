// queries.cpp: nread and ready? through the dispatch, beside the one ioctl
// that the kernel path makes, and nread answered from the read buffer.
#include "streams.hpp" // zb::Ends, zb::Io, zb::methods

#include <benchmark/benchmark.h> // BENCHMARK, State
#include <sys/ioctl.h>           // ioctl, FIONREAD

namespace {

// Each method is checked once before timing, so a wrong path fails loudly.
bool answers(benchmark::State &state, zl_value io, zelt::Id id, zl_value expected) {
    zl_value got = zelt::call(io, id, 0, nullptr);
    if (got == expected) return true;
    state.SkipWithError(("unexpected result " + zelt::inspect(got)).c_str());
    return false;
}

void raw_ioctl(benchmark::State &state) {
    zb::Ends pipe = zb::pipe_holding("x");
    const int fd = pipe.near.get();
    int count = 0;
    for ([[maybe_unused]] auto _ : state) {
        benchmark::DoNotOptimize(::ioctl(fd, FIONREAD, &count));
        benchmark::DoNotOptimize(count);
    }
}

// A query method on a pipe whose one byte waits in the kernel.
void kernel_query(benchmark::State &state, zelt::Id id, zl_value expected) {
    zb::Ends pipe = zb::pipe_holding("x");
    zb::Io io(std::move(pipe.near));
    if (!answers(state, io.value(), id, expected)) return;
    const zl_value recv = io.value();
    for ([[maybe_unused]] auto _ : state)
        benchmark::DoNotOptimize(zelt::call(recv, id, 0, nullptr));
}

void nread_kernel(benchmark::State &state) {
    kernel_query(state, zb::methods().nread, zelt::integer(1));
}

void ready_kernel(benchmark::State &state) { kernel_query(state, zb::methods().ready, ZL_TRUE); }

// gets reads the whole pipe ahead and takes one line: "bcd\n" stays buffered.
void nread_buffered(benchmark::State &state) {
    const zb::Methods &m = zb::methods();
    zb::Ends pipe = zb::pipe_holding("a\nbcd\n");
    zb::Io io(std::move(pipe.near));
    zelt::release(zelt::call(io.value(), m.gets, 0, nullptr));
    if (!answers(state, io.value(), m.nread, zelt::integer(4))) return;
    const zl_value recv = io.value();
    const zelt::Id nread = m.nread;
    for ([[maybe_unused]] auto _ : state)
        benchmark::DoNotOptimize(zelt::call(recv, nread, 0, nullptr));
}

} // namespace

BENCHMARK(raw_ioctl);
BENCHMARK(nread_kernel);
BENCHMARK(ready_kernel);
BENCHMARK(nread_buffered);
