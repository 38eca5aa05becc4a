// growth.cpp: zelt-growth, how the costs grow with threads and objects.
//
//   threads    nread throughput with 1 thread and with 2, each thread on a
//              stream of its own and on a CPU of its own: calls per second of
//              wall time, and CPU ns per call (which a cache line written by
//              both threads would raise, whatever else the machine runs).
//   wakeup     the wake-up latency of wait against raw ppoll, p50 and p99,
//              with 1, 16 and 256 threads each waiting on a pipe of its own;
//              the two alternate wake by wake.
//   memory     heap bytes per IO object, counted by the allocator
//              (mallinfo2), fresh and after a read has filled its buffer.
//   close_busy a close while T other threads make calls on streams of their
//              own, in the closing thread's CPU time and in wall time.
//
// usage: zelt-growth [SECTION...]   (all by default); JSON on standard output.
#include "measure.hpp" // clocks, Pinned, percentile, median_of, keep
#include "streams.hpp" // pipe_holding, methods, Io

#include <atomic>         // start and stop flags
#include <chrono>         // the throughput window
#include <cstdio>         // printf
#include <cstring>        // strcmp
#include <fcntl.h>        // open
#include <malloc.h>       // mallinfo2
#include <memory>         // unique_ptr
#include <poll.h>         // ppoll
#include <sched.h>        // sched_getaffinity
#include <string>         // JSON text
#include <sys/resource.h> // getrlimit: descriptors for the memory count
#include <thread>         // workers, waiters
#include <unistd.h>       // read, write, close
#include <vector>         // samples

namespace {

std::vector<int> allowed_cpus() {
    cpu_set_t set;
    sched_getaffinity(0, sizeof set, &set);
    std::vector<int> cpus;
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &set)) cpus.push_back(c);
    return cpus;
}

std::string num(double v) { return zb::json_number(v); }

// "N": VALUE, built by appending (a literal + to_string trips a false
// -Wrestrict in this compiler's string code).
std::string keyed(int n, const std::string &value) {
    std::string out = "\"";
    out += std::to_string(n);
    out += "\": ";
    out += value;
    return out;
}

// ---- threads ----------------------------------------------------------------

struct Throughput {
    double calls_per_s, cpu_ns_per_call;
};

// THREADS threads, each pinned to a CPU of its own and calling nread on a
// stream of its own for WINDOW.
Throughput nread_throughput(int threads, std::chrono::milliseconds window) {
    const std::vector<int> cpus = allowed_cpus();
    const zelt::Id nread = zb::methods().nread;
    std::atomic<bool> go{false}, stop{false};
    std::vector<long> calls(threads);
    std::vector<std::int64_t> cpu(threads);
    std::vector<std::thread> workers;
    workers.reserve(threads);
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            zb::Pinned pinned(cpus[t % cpus.size()]);
            zb::Ends pipe = zb::pipe_holding("x");
            zb::Io io(std::move(pipe.near));
            const zl_value recv = io.value();
            go.wait(false);
            const std::int64_t start = zb::thread_cpu_ns();
            long n = 0;
            while (!stop.load(std::memory_order_relaxed)) { // read-only here: shared, never written
                for (int i = 0; i < 256; ++i) zb::keep(zelt::call(recv, nread, 0, nullptr));
                n += 256;
            }
            cpu[t] = zb::thread_cpu_ns() - start;
            calls[t] = n;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // every worker at go.wait
    const std::int64_t start = zb::monotonic_ns();
    go = true;
    go.notify_all();
    std::this_thread::sleep_for(window);
    stop = true;
    const std::int64_t wall = zb::monotonic_ns() - start;
    for (auto &w : workers) w.join();
    long total = 0;
    std::int64_t total_cpu = 0;
    for (int t = 0; t < threads; ++t) {
        total += calls[t];
        total_cpu += cpu[t];
    }
    return {static_cast<double>(total) * 1e9 / static_cast<double>(wall),
            static_cast<double>(total_cpu) / static_cast<double>(total)};
}

std::string threads_section() {
    std::vector<double> one_rate, one_ns, two_rate, two_ns;
    for (int round = 0; round < 7; ++round) { // alternated, so drift falls on both
        const Throughput a = nread_throughput(1, std::chrono::milliseconds(100));
        const Throughput b = nread_throughput(2, std::chrono::milliseconds(100));
        one_rate.push_back(a.calls_per_s);
        one_ns.push_back(a.cpu_ns_per_call);
        two_rate.push_back(b.calls_per_s);
        two_ns.push_back(b.cpu_ns_per_call);
    }
    const double r1 = zb::median_of(one_rate).median, n1 = zb::median_of(one_ns).median;
    const double r2 = zb::median_of(two_rate).median, n2 = zb::median_of(two_ns).median;
    return "\"threads\": {\"cpus\": " + std::to_string(allowed_cpus().size()) +
           ", \"1\": {\"calls_per_s\": " + num(r1) + ", \"cpu_ns_per_call\": " + num(n1) +
           "}, \"2\": {\"calls_per_s\": " + num(r2) + ", \"cpu_ns_per_call\": " + num(n2) +
           "}, \"scaling_wall\": " + num(r2 / r1) + ", \"scaling_cpu\": " + num(2 * n1 / n2) + "}";
}

// ---- wakeup -----------------------------------------------------------------

struct Woken {
    std::int64_t at; // monotonic ns, taken as soon as the wait returned
    int by_wait;     // 1: the wait method; 0: raw ppoll
};

// A thread waiting on a pipe of its own, with wait and ppoll in turn; it
// tells the time it woke on ACK.
class Waiter {
public:
    Waiter(int ack)
        : pipe_(zb::pipe_holding("")), fd_(pipe_.near.get()), io_(std::move(pipe_.near)) {
        thread_ = std::thread([this, ack] { loop(ack); });
    }
    ~Waiter() {
        zt::write_all(pipe_.peer.get(), "q");
        thread_.join();
    }
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;
    int peer() const { return pipe_.peer.get(); }

private:
    void loop(int ack) {
        const zelt::Id wait = zb::methods().wait;
        for (long k = 0;; ++k) {
            const int by_wait = k % 2 == 0;
            if (by_wait) {
                zelt::call(io_.value(), wait, 0, nullptr); // no limit
            } else {
                pollfd p{fd_, POLLIN, 0};
                ::ppoll(&p, 1, nullptr, nullptr);
            }
            const Woken w{zb::monotonic_ns(), by_wait};
            char byte;
            if (::read(fd_, &byte, 1) != 1 || byte == 'q') return;
            if (::write(ack, &w, sizeof w) != sizeof w) return;
        }
    }

    zb::Ends pipe_;
    int fd_;
    zb::Io io_;
    std::thread thread_;
};

std::string wakeup_for(int threads, int rounds) {
    zb::Ends ack = zb::pipe_holding("");
    std::vector<std::unique_ptr<Waiter>> waiters;
    waiters.reserve(threads);
    for (int t = 0; t < threads; ++t) waiters.push_back(std::make_unique<Waiter>(ack.peer.get()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // every waiter blocked
    std::vector<double> by_wait, by_ppoll;
    for (int r = 0; r < rounds; ++r) {
        const std::int64_t sent = zb::monotonic_ns();
        zt::write_all(waiters[r % threads]->peer(), "x");
        Woken w{};
        if (::read(ack.near.get(), &w, sizeof w) != sizeof w) break;
        (w.by_wait ? by_wait : by_ppoll).push_back(static_cast<double>(w.at - sent));
    }
    waiters.clear();
    auto stats = [](const std::vector<double> &v) {
        return "{\"p50\": " + num(zb::percentile(v, 50)) +
               ", \"p99\": " + num(zb::percentile(v, 99)) + ", \"n\": " + std::to_string(v.size()) +
               "}";
    };
    return keyed(threads, "{\"wait\": " + stats(by_wait) + ", \"ppoll\": " + stats(by_ppoll) + "}");
}

std::string wakeup_section() {
    std::string out = "\"wakeup_ns\": {";
    const int counts[] = {1, 16, 256};
    for (int i = 0; i < 3; ++i) out += (i ? ", " : "") + wakeup_for(counts[i], 4000);
    return out + "}";
}

// ---- memory -----------------------------------------------------------------

std::size_t heap_in_use() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd; // chunks in use, and those mapped on their own
}

std::string memory_section() {
    constexpr int kObjects = 256; // two descriptors each
    const zelt::Id gets = zb::methods().gets;
    { // one object first: whatever the runtime makes once is not counted
        zb::Io warm(std::move(zb::pipe_holding("a\n").near));
        zelt::release(zelt::call(warm.value(), gets, 0, nullptr));
    }
    std::vector<zb::Ends> pipes;
    pipes.reserve(kObjects);
    for (int i = 0; i < kObjects; ++i) pipes.push_back(zb::pipe_holding("a\nb\n"));
    std::vector<zl_value> ios;
    ios.reserve(kObjects);
    const std::size_t before = heap_in_use();
    for (auto &p : pipes) ios.push_back(zelt::io_new(p.near.release()));
    const std::size_t fresh = heap_in_use();
    for (zl_value io : ios) zelt::release(zelt::call(io, gets, 0, nullptr)); // fills the buffer
    const std::size_t read = heap_in_use();
    for (zl_value io : ios) zelt::release(io);
    const std::size_t after = heap_in_use();
    const auto per_object = [before](std::size_t at) {
        return num((static_cast<double>(at) - static_cast<double>(before)) / kObjects);
    };
    return "\"memory\": {\"objects\": " + std::to_string(kObjects) +
           ", \"io_object_bytes\": " + per_object(fresh) +
           ", \"after_read_bytes\": " + per_object(read) +
           ", \"left_after_release_bytes\": " + per_object(after) + "}";
}

// ---- close_busy -------------------------------------------------------------

std::string close_busy_for(int busy, int closes) {
    const zb::Methods &m = zb::methods();
    std::atomic<bool> stop{false};
    std::atomic<int> running{0};
    std::vector<std::thread> threads;
    threads.reserve(busy);
    for (int t = 0; t < busy; ++t) {
        threads.emplace_back([&] {
            zb::Ends pipe = zb::pipe_holding("x");
            zb::Io io(std::move(pipe.near));
            const zl_value recv = io.value();
            running.fetch_add(1);
            while (!stop.load(std::memory_order_relaxed))
                for (int i = 0; i < 64; ++i) zb::keep(zelt::call(recv, m.nread, 0, nullptr));
        });
    }
    while (running.load() < busy) std::this_thread::yield();
    const zelt::Id close = zelt::intern("close");
    std::vector<double> cpu, wall, cpu_clocks, wall_clocks;
    for (int i = 0; i < closes; ++i) {
        zb::Ends pipe = zb::pipe_holding("x");
        const zl_value io = zelt::io_new(pipe.near.release());
        std::int64_t c0 = zb::thread_cpu_ns(), w0 = zb::monotonic_ns();
        zelt::call(io, close, 0, nullptr);
        std::int64_t w1 = zb::monotonic_ns(), c1 = zb::thread_cpu_ns();
        cpu.push_back(static_cast<double>(c1 - c0));
        wall.push_back(static_cast<double>(w1 - w0));
        zelt::release(io);
        c0 = zb::thread_cpu_ns(), w0 = zb::monotonic_ns(); // the clocks alone, taken off below
        w1 = zb::monotonic_ns(), c1 = zb::thread_cpu_ns();
        cpu_clocks.push_back(static_cast<double>(c1 - c0));
        wall_clocks.push_back(static_cast<double>(w1 - w0));
    }
    const double cpu_clock = zb::median_of(cpu_clocks).median;
    const double wall_clock = zb::median_of(wall_clocks).median;
    for (double &c : cpu) c -= cpu_clock;
    for (double &w : wall) w -= wall_clock;
    stop = true;
    for (auto &t : threads) t.join();
    return keyed(busy, "{\"cpu_ns\": " + num(zb::median_of(cpu).median) +
                           ", \"wall_ns\": " + num(zb::median_of(wall).median) +
                           ", \"wall_p99_ns\": " + num(zb::percentile(wall, 99)) + "}");
}

std::string close_busy_section() {
    std::string out = "\"close_busy\": {";
    const int counts[] = {0, 1, 16, 256};
    for (int i = 0; i < 4; ++i) out += (i ? ", " : "") + close_busy_for(counts[i], 301);
    return out + "}";
}

} // namespace

int main(int argc, char **argv) {
    struct Section {
        const char *name;
        std::string (*run)();
    };
    const Section sections[] = {{"threads", threads_section},
                                {"wakeup", wakeup_section},
                                {"memory", memory_section},
                                {"close_busy", close_busy_section}};
    std::vector<const Section *> chosen;
    for (int i = 1; i < argc; ++i) {
        const Section *found = nullptr;
        for (const Section &s : sections)
            if (!std::strcmp(argv[i], s.name)) found = &s;
        if (!found) {
            std::fprintf(stderr, "usage: zelt-growth [threads|wakeup|memory|close_busy]...\n");
            return 2;
        }
        chosen.push_back(found);
    }
    if (chosen.empty())
        for (const Section &s : sections) chosen.push_back(&s);
    try {
        std::printf("{");
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            std::fprintf(stderr, "zelt-growth: %s\n", chosen[i]->name);
            std::printf("%s\n  %s", i ? "," : "", chosen[i]->run().c_str());
            std::fflush(stdout);
        }
        std::printf("\n}\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zelt-growth: %s\n", e.what());
        return 1;
    }
    return 0;
}
