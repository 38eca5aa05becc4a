// syscall_hold.hpp: stop the next ioctl, ppoll, preadv2, read or write on one descriptor
// just before it enters the kernel, until the test lets it go; or look at
// the calling thread there.
//
// syscall_hold.cpp defines the five calls in the test executable, which
// exports them, so that libzelt and the extension bind to these.
#pragma once

#include <latch> // reached, go

namespace close_test {

// EpollWait: a selector's blocking look (not its first, which never sleeps),
// by the selector's epoll descriptor.
enum class Call { Ioctl, Ppoll, Preadv2, Read, Write, EpollWait };

class Hold {
public:
    Hold(Call call, int fd); // armed until one call on FD reaches it
    ~Hold();                 // lets the call go, if it is still held
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    void await_reached() { reached_.wait(); }
    bool reached() const { return reached_.try_wait(); }
    void release() { go_.count_down(); }

    bool matches(Call call, int fd) const { return call == call_ && fd == fd_; }
    void stop() { // on the held thread
        reached_.count_down();
        go_.wait();
    }

private:
    Call call_;
    int fd_;
    std::latch reached_{1}, go_{1};
};

// Runs CHECK once on the thread that makes the next CALL on FD, just before
// it enters the kernel (a look at the thread's state mid-call).
class Probe {
public:
    Probe(Call call, int fd, void (*check)());
    ~Probe();
    Probe(const Probe &) = delete;
    Probe &operator=(const Probe &) = delete;

    bool matches(Call call, int fd) const { return call == call_ && fd == fd_; }
    void run() const { check_(); }

private:
    Call call_;
    int fd_;
    void (*check_)();
};

} // namespace close_test
