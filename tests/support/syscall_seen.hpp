// syscall_seen.hpp: the number /proc/self/task/TID/syscall shows for a thread
// blocked in a given system call.
#pragma once

#include <functional> // the call, its test, its release
#include <string>     // the line's fields
#include <vector>     // the line's fields

namespace zt {

// The number /proc/self/task/TID/syscall shows for a thread that BLOCK puts
// in a system call: BUILT when the tests run on the kernel they were built
// for, the host's number under a user-mode emulator, which makes the host's
// call on the emulated thread's behalf. The line whose argument fields (after
// the number) IS_IT accepts is taken for it, so that no other call the thread
// could sit in (a futex while an emulator starts it, say) is; RELEASE lets
// the thread go. BUILT if nothing is seen within 10 s.
long syscall_seen(long built, const std::function<void()> &block,
                  const std::function<bool(const std::vector<std::string> &)> &is_it,
                  const std::function<void()> &release);

// ppoll's, learned once from a thread blocked in ppoll on a pipe.
long ppoll_seen();

// write's, learned once from a thread blocked writing to a full pipe.
long write_seen();

// Whether a pipe takes a write with RWF_NOWAIT (a user-mode emulator may
// refuse it): a writer on a full pipe then sleeps in ppoll, else in write(2).
bool pipes_take_nowait();

// The call a writer on a full pipe sleeps in, as /proc shows it.
inline long pipe_writer_seen() { return pipes_take_nowait() ? ppoll_seen() : write_seen(); }

} // namespace zt
