// in_syscall.hpp: whether a thread of this process is blocked in a given system call.
#pragma once

#include <chrono>      // the limit
#include <fstream>     // /proc/self/task/TID/syscall
#include <string>      // the path
#include <sys/types.h> // pid_t
#include <thread>      // yield

namespace zh {

// True once thread TID sits in system call NUMBER (e.g. zt::ppoll_seen()), as the
// kernel reports it; false if it does not get there within LIMIT.
inline bool blocks_in(pid_t tid, long number, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    do {
        std::ifstream in(path);
        long current = -1; // the first field: the call's number, or "running"
        if (in >> current && current == number) return true;
        std::this_thread::yield();
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

} // namespace zh
