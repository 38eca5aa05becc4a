// waiter.hpp: a method call on an IO made on a thread of its own, to be
// watched, interrupted (closed, signalled) and joined.
#pragma once

#include <zelt/embed.hpp> // zl_value, zelt::Error

#include <atomic>             // tid
#include <chrono>             // durations
#include <condition_variable> // finished
#include <functional>         // the call
#include <mutex>              // finished
#include <optional>           // the error, if any
#include <pthread.h>          // pthread_t, for pthread_kill
#include <sys/types.h>        // pid_t
#include <thread>             // std::thread

namespace wait_suite {

class Waiter {
public:
    // Starts CALL(IO) on a new thread.
    Waiter(zl_value io, std::function<zl_value(zl_value io)> call);
    // Joins. A call still running then (a test that failed) is ended by
    // closing the IO, so that the test reports instead of hanging.
    ~Waiter();
    Waiter(const Waiter &) = delete;
    Waiter &operator=(const Waiter &) = delete;

    pthread_t handle() { return thread_.native_handle(); }
    // True once the thread sits in ppoll; false when the call finished first
    // or did not get there within LIMIT.
    bool blocks_in_ppoll(std::chrono::milliseconds limit);
    // True once the call has returned or raised; false if not within LIMIT.
    bool finishes_within(std::chrono::milliseconds limit);
    bool finished() { return finishes_within(std::chrono::milliseconds(0)); }

    // Once finished:
    zl_value result() const { return result_; }
    const std::optional<zelt::Error> &error() const { return error_; }
    double seconds() const { return seconds_; } // how long the call took

private:
    void run(const std::function<zl_value(zl_value)> &call);

    zl_value io_;
    std::atomic<pid_t> tid_{0};
    std::mutex mu_;
    std::condition_variable cv_;
    bool finished_ = false;
    zl_value result_ = ZL_NIL;
    std::optional<zelt::Error> error_;
    double seconds_ = 0;
    std::thread thread_; // last: starts once the rest is ready
};

} // namespace wait_suite
