// waiter.cpp: the waiting thread, and finding it blocked in ppoll through /proc.
#include "waiter.hpp"

#include "calls.hpp" // raised_by, seconds_since

#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it

#include <fstream>  // /proc/self/task/<tid>/syscall
#include <string>   // its path
#include <unistd.h> // gettid

namespace wait_suite {
namespace {

// The number of the system call the thread is blocked in, or -1.
long blocking_syscall(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    return in >> number ? number : -1; // "running" reads as no number
}

} // namespace

Waiter::Waiter(zl_value io, std::function<zl_value(zl_value)> call)
    : io_(io), thread_([this, call = std::move(call)] { run(call); }) {}

Waiter::~Waiter() {
    if (!finished()) zelt::call(io_, "close");
    thread_.join();
}

void Waiter::run(const std::function<zl_value(zl_value)> &call) {
    tid_.store(::gettid());
    const auto start = std::chrono::steady_clock::now();
    zl_value result = ZL_NIL;
    std::optional<zelt::Error> error = raised_by([&] { return result = call(io_); });
    const double took = seconds_since(start);
    std::lock_guard lock(mu_);
    result_ = result;
    error_ = std::move(error);
    seconds_ = took;
    finished_ = true;
    cv_.notify_all();
}

bool Waiter::blocks_in_ppoll(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!finished() && std::chrono::steady_clock::now() < deadline) {
        pid_t tid = tid_.load();
        if (tid != 0 && blocking_syscall(tid) == zt::ppoll_seen()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // polling a kernel state
    }
    return false;
}

bool Waiter::finishes_within(std::chrono::milliseconds limit) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [this] { return finished_; });
}

} // namespace wait_suite
