// fallback_read.cpp: a reader parked in read(2) once another took its bytes.
#include "fallback_read.hpp"
#include "syscall_hold.hpp" // Hold, Call

#include <chrono>           // how long a parked reader may take
#include <in_syscall.hpp>   // zh::blocks_in
#include <sys/syscall.h>    // SYS_read: the answer when nothing else is seen
#include <syscall_seen.hpp> // zt::syscall_seen
#include <unistd.h>         // read

namespace close_test {

using namespace std::chrono_literals;

long read_seen() {
    static const long number = [] {
        zt::Ends pipe = zt::make_pipe();
        return zt::syscall_seen(
            SYS_read,
            [&] {
                char bytes[3];
                (void)::read(pipe.near.get(), bytes, 3); // "0x3": this call and no other
            },
            [](const auto &a) { return a.size() > 2 && a[2] == "0x3"; },
            [&] { zt::write_all(pipe.peer.get(), "xyz"); });
    }();
    return number;
}

bool park_in_read(const zt::Ends &ends, int fd, int thief, pid_t tid) {
    Hold hold(Call::Preadv2, fd); // the reader's wait sees the line; its read waits here
    zt::write_all(ends.peer.get(), "x\n");
    hold.await_reached();
    char line[2];
    if (::read(thief, line, sizeof line) != 2) return false;
    hold.release();
    return zh::blocks_in(tid, read_seen(), 5000ms);
}

} // namespace close_test
