// thread_state.cpp: a thread's current system call, from /proc.
#include "thread_state.hpp"

#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it

#include <fstream> // ifstream
#include <string>  // the file's path and first field
#include <thread>  // this_thread::yield

namespace rt_test {
namespace {

// The number of the system call TID sleeps in, or -1 while it runs or is
// between calls ("running" or "-1 ..." in the file).
long current_syscall(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    std::string first;
    if (!(in >> first) || first == "running") return -1;
    try {
        return std::stol(first);
    } catch (const std::exception &) {
        return -1;
    }
}

} // namespace

bool await_blocked_in_ppoll(pid_t tid, std::chrono::milliseconds within) {
    auto deadline = std::chrono::steady_clock::now() + within;
    while (current_syscall(tid) != zt::ppoll_seen()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield(); // the state changes without an event to wait on
    }
    return true;
}

} // namespace rt_test
