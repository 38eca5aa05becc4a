// syscall_count.hpp: how many ioctl, ppoll and epoll_pwait2 calls the process has made.
//
// syscall_count.cpp defines ioctl, ppoll, __ppoll_chk and syscall themselves, counts
// each call and forwards it to the next definition (the C library's, or a
// sanitizer's interceptor). For the counts to include calls made by libzelt
// and by the dlopen()ed extension, that file must be compiled into the test
// executable itself (as one of its sources or an OBJECT library, not through a
// static library) and the executable must export the four symbols, e.g.
//   target_link_options(T PRIVATE "LINKER:--export-dynamic-symbol=ioctl" ...)
// or ENABLE_EXPORTS; otherwise a module loaded later binds to the C library's.
#pragma once

#include <cstdint> // uint64_t

namespace zt::syscalls {

// Calls made so far, by every thread.
std::uint64_t ioctl_count();
std::uint64_t ppoll_count();
std::uint64_t polled_fd_count();  // the descriptors those ppoll calls polled, summed
std::uint64_t epoll_wait_count(); // a selector's looks (epoll_pwait2, through syscall(2))

// The calls made since this counter was made.
class Counter {
public:
    Counter()
        : ioctl_start_(ioctl_count()), ppoll_start_(ppoll_count()), fds_start_(polled_fd_count()),
          epoll_start_(epoll_wait_count()) {}
    std::uint64_t ioctls() const { return ioctl_count() - ioctl_start_; }
    std::uint64_t ppolls() const { return ppoll_count() - ppoll_start_; }
    std::uint64_t polled_fds() const { return polled_fd_count() - fds_start_; }
    std::uint64_t epoll_waits() const { return epoll_wait_count() - epoll_start_; }

private:
    std::uint64_t ioctl_start_, ppoll_start_, fds_start_, epoll_start_;
};

} // namespace zt::syscalls
