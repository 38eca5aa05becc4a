// subprocess.hpp: a program run in a child process on descriptors chosen
// by the test, its standard output and error captured, with a time limit.
#pragma once

#include <chrono>      // time limits
#include <map>         // child descriptor -> parent descriptor
#include <string>      // program, arguments, captured output
#include <string_view> // read_stdout_until
#include <sys/types.h> // pid_t
#include <vector>      // arguments, environment

namespace zt {

struct Outcome {
    std::string out, err;
    int exit_code = -1;     // when it exited
    int signal = 0;         // when a signal ended it
    bool timed_out = false; // killed at the time limit
    long max_rss_kb = 0;    // the most memory it held at once (resident, KiB)
};

// How an outcome reads in a failure message.
std::string describe(const Outcome &o);

class Child {
public:
    // Starts PROGRAM with ARGS. FDS maps each of the child's descriptors to
    // the parent's descriptor it is a copy of; standard input is /dev/null
    // unless FDS names 0, and standard output and error are captured unless
    // FDS names them (what is not captured reads as empty). The child's
    // environment is the parent's without ZELT_EXT_PATH, plus ENV
    // ("NAME=value" entries).
    Child(const std::string &program, const std::vector<std::string> &args,
          const std::map<int, int> &fds = {}, const std::vector<std::string> &env = {});
    ~Child(); // kills and reaps a child still running
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; } // -1 once reaped

    // Reads standard output until it holds TEXT, the child's output ends or
    // LIMIT passes; returns the standard output read so far.
    std::string read_stdout_until(std::string_view text, std::chrono::milliseconds limit);

    // Reads both streams to their end and reaps the child, killing it if
    // LIMIT passes first.
    Outcome finish(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    // Reads what comes on the open streams until both end, DONE says so or
    // DEADLINE passes. False when the deadline passed.
    template <class Done> bool pump(std::chrono::steady_clock::time_point deadline, Done done);

    pid_t pid_ = -1;
    int out_ = -1, err_ = -1; // read ends; -1 once at their end
    Outcome outcome_;
};

// Runs PROGRAM to its end (see Child).
Outcome run(const std::string &program, const std::vector<std::string> &args,
            const std::map<int, int> &fds = {}, const std::vector<std::string> &env = {},
            std::chrono::milliseconds limit = std::chrono::seconds(20));

} // namespace zt
