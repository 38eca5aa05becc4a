// syscall_seen.cpp: a thread held in a system call, and what /proc says of it.
#include "syscall_seen.hpp"

#include "kernel.hpp" // make_pipe, write_all

#include <atomic>        // the thread's id, handed over
#include <cerrno>        // errno, EOPNOTSUPP
#include <chrono>        // how long to look
#include <fcntl.h>       // fcntl: a pipe filled without blocking
#include <fstream>       // /proc/self/task/TID/syscall
#include <iterator>      // the line's fields
#include <poll.h>        // ppoll
#include <sstream>       // the line's fields, the descriptor in hex
#include <sys/syscall.h> // SYS_ppoll, SYS_write: the answers when nothing else is seen
#include <sys/uio.h>     // pwritev2, RWF_NOWAIT
#include <thread>        // the thread held in the call
#include <unistd.h>      // gettid

namespace zt {

long syscall_seen(long built, const std::function<void()> &block,
                  const std::function<bool(const std::vector<std::string> &)> &is_it,
                  const std::function<void()> &release) {
    std::atomic<pid_t> tid{0};
    std::thread held([&] {
        tid.store(::gettid());
        block();
    });
    long seen = built;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t id = tid.load();
        std::ifstream in("/proc/self/task/" + std::to_string(id) + "/syscall");
        std::string line;
        if (id != 0 && std::getline(in, line)) {
            std::istringstream fields(line);
            long number = -1;
            if (fields >> number && number >= 0 &&
                is_it({std::istream_iterator<std::string>(fields), {}})) {
                seen = number;
                break;
            }
        }
        std::this_thread::yield(); // the state changes without an event to wait on
    }
    release();
    held.join();
    return seen;
}

long ppoll_seen() {
    static const long number = [] {
        Ends pipe = make_pipe();
        return syscall_seen(
            SYS_ppoll,
            [&] { // three entries and no limit: the fields "0x3 0x0" set it apart
                pollfd fds[3] = {{pipe.near.get(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
                ::ppoll(fds, 3, nullptr, nullptr);
            },
            [](const auto &a) { return a.size() > 2 && a[1] == "0x3" && a[2] == "0x0"; },
            [&] { write_all(pipe.peer.get(), "x"); });
    }();
    return number;
}

long write_seen() {
    static const long number = [] {
        Ends pipe = make_pipe();
        const int out = pipe.peer.get();
        ::fcntl(out, F_SETFL, O_NONBLOCK);
        static char chunk[4096];
        while (::write(out, chunk, sizeof chunk) > 0) {
        } // full: the next write sleeps
        ::fcntl(out, F_SETFL, 0);
        std::ostringstream fd_field; // the descriptor as /proc writes it
        fd_field << "0x" << std::hex << out;
        return syscall_seen(
            SYS_write, [&] { (void)!::write(out, "x", 1); },
            [&](const auto &a) { return !a.empty() && a[0] == fd_field.str(); },
            [&] { // room for the one byte held
                while (::read(pipe.near.get(), chunk, sizeof chunk) == sizeof chunk) {
                }
            });
    }();
    return number;
}

bool pipes_take_nowait() {
    static const bool takes = [] {
        Ends pipe = make_pipe();
        char byte = 'x';
        iovec one = {&byte, 1};
        return ::pwritev2(pipe.peer.get(), &one, 1, -1, RWF_NOWAIT) == 1 || errno != EOPNOTSUPP;
    }();
    return takes;
}

} // namespace zt
