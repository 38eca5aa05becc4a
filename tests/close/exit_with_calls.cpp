// exit_with_calls.cpp: main returns while other threads sit in wait and gets
// and make queries. The exit must touch no freed memory (the sanitizers
// report it) and exit with main's status.
#include <in_syscall.hpp> // zh::blocks_in
#include <kernel.hpp>     // make_pipe, Io, require_wait
#include <zelt/embed.hpp> // call

#include <atomic>           // thread ids
#include <chrono>           // the bound on waiting for the threads to block
#include <cstdio>           // puts
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it
#include <thread>           // the callers, detached
#include <unistd.h>         // gettid
#include <vector>           // streams and ids

int main() {
    using namespace std::chrono_literals;
    zt::require_wait();
    constexpr int kBlocked = 6, kQueries = 2;
    // Kept past exit, as the runtime keeps its own: the threads read them.
    static auto &pipes = *new std::vector<zt::Ends>; // the peers stay open: no input, no end
    static auto &ios = *new std::vector<zl_value>;
    for (int i = 0; i < kBlocked + kQueries; ++i) {
        pipes.push_back(zt::make_pipe());
        ios.push_back(zelt::io_new(pipes.back().near.release()));
    }
    static std::atomic<pid_t> tids[kBlocked];
    for (int i = 0; i < kBlocked; ++i)
        std::thread([i] {
            tids[i] = ::gettid();
            try {
                zelt::call(ios[i], i % 2 ? "wait" : "gets");
            } catch (...) {
            }
        }).detach();
    for (int i = kBlocked; i < kBlocked + kQueries; ++i)
        std::thread([i] {
            for (;;) {
                zelt::call(ios[i], "nread");
                zelt::call(ios[i], "ready?");
            }
        }).detach();
    for (auto &tid : tids) {
        while (!tid.load()) std::this_thread::yield();
        if (!zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms)) return 2;
    }
    std::puts("exit_with_calls: main returns with calls in flight");
    return 0;
}
