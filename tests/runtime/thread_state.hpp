// thread_state.hpp: seeing from outside that a thread sleeps in ppoll.
#pragma once

#include <chrono>      // the bound on how long to look
#include <sys/types.h> // pid_t

namespace rt_test {

// True once thread TID of this process is blocked in the ppoll system call
// (read from /proc/self/task/TID/syscall); false if it was not within WITHIN.
bool await_blocked_in_ppoll(pid_t tid, std::chrono::milliseconds within = std::chrono::seconds(5));

} // namespace rt_test
