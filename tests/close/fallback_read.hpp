// fallback_read.hpp: a thread of a test put deterministically into the
// runtime's read(2) of a FIFO or terminal (its fallback where a read cannot
// refuse to wait): the bytes its wait saw are taken first by another reader
// of the same open file, a dup.
#pragma once

#include <kernel.hpp> // Ends, Fd

#include <sys/types.h> // pid_t

namespace close_test {

// The number /proc/self/task/TID/syscall shows for a thread blocked in read(2)
// (the host's, under a user-mode emulator). Learned once.
long read_seen();

// With thread TID calling gets on the IO over FD (waiting, or about to):
// holds its read, writes a line to ENDS.peer, takes the line through THIEF
// once the reader is held, lets it go and waits until it sits in read(2).
// False if it never gets there.
bool park_in_read(const zt::Ends &ends, int fd, int thief, pid_t tid);

} // namespace close_test
