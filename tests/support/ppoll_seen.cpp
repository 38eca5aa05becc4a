// ppoll_seen.cpp: a thread held in ppoll, and what /proc says of it.
#include "ppoll_seen.hpp"

#include "kernel.hpp" // make_pipe, write_all

#include <atomic>        // the thread's id, handed over
#include <chrono>        // how long to look
#include <fstream>       // /proc/self/task/TID/syscall
#include <poll.h>        // ppoll
#include <sstream>       // the line's fields
#include <string>        // the path and the line
#include <sys/syscall.h> // SYS_ppoll: the answer when nothing else is seen
#include <thread>        // the thread held in ppoll
#include <unistd.h>      // gettid

namespace zt {
namespace {

long learn() {
    Ends pipe = make_pipe();
    std::atomic<pid_t> tid{0};
    std::thread held([&] {
        tid.store(::gettid());
        // Three entries and no limit: the fields "0x3 0x0" set this call
        // apart from any other the thread could sit in (a futex while an
        // emulator starts it, say).
        pollfd fds[3] = {{pipe.near.get(), POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
        ::ppoll(fds, 3, nullptr, nullptr);
    });
    long seen = SYS_ppoll;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        pid_t id = tid.load();
        std::ifstream in("/proc/self/task/" + std::to_string(id) + "/syscall");
        std::string line;
        if (id != 0 && std::getline(in, line)) {
            std::istringstream fields(line);
            long number = -1;
            std::string fds, nfds, limit;
            if (fields >> number >> fds >> nfds >> limit && number >= 0 && nfds == "0x3" &&
                limit == "0x0") {
                seen = number;
                break;
            }
        }
        std::this_thread::yield(); // the state changes without an event to wait on
    }
    write_all(pipe.peer.get(), "x"); // lets the thread go
    held.join();
    return seen;
}

} // namespace

long ppoll_seen() {
    static const long number = learn();
    return number;
}

} // namespace zt
