// bounded_child.hpp: run a function in a fork child and report its exit
// status, or a hang as a failure rather than a hang of the suite.
#pragma once

#include <chrono>     // the deadline
#include <csignal>    // SIGKILL
#include <string>     // the outcome, as the test prints it
#include <sys/wait.h> // waitpid, WNOHANG
#include <thread>     // sleep_for between looks
#include <unistd.h>   // fork, _exit

namespace close_test {

// How a child ended: "exit 0" is success.
inline std::string child_outcome(pid_t child, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0) return "waitpid failed";
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return "hung: killed after " + std::to_string(limit.count()) + " ms";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2)); // polling a child: no race
    }
    if (WIFEXITED(status)) return "exit " + std::to_string(WEXITSTATUS(status));
    return "signal " + std::to_string(WTERMSIG(status));
}

// Runs FN in a fork child, which exits with FN's status (99 if it throws:
// the child never goes back into the test runner).
template <class F> std::string run_in_child(F fn, std::chrono::milliseconds limit) {
    const pid_t child = ::fork();
    if (child < 0) return "fork failed";
    if (child == 0) {
        int status = 99;
        try {
            status = fn();
        } catch (...) {
        }
        ::_exit(status);
    }
    return child_outcome(child, limit);
}

} // namespace close_test
