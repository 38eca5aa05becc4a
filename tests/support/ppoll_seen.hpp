// ppoll_seen.hpp: the number /proc/self/task/TID/syscall shows for a thread
// blocked in ppoll.
#pragma once

namespace zt {

// SYS_ppoll when the tests run on the kernel they were built for; the host's
// number for ppoll when they run under a user-mode emulator, which makes the
// host's call on the emulated thread's behalf. Learned once, from a thread
// blocked in ppoll on a pipe.
long ppoll_seen();

} // namespace zt
