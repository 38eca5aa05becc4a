// injector.hpp: make one of the runtime's system calls fail, hold it, or
// count it, from a test.
//
// interpose_fd.cpp and interpose_signal.cpp define the calls themselves in
// the test executable, which exports them (zelt_use_faults() in
// CMakeLists.txt), so that libzelt's and the extension's calls reach them
// first; each asks the gate, then passes on to the next definition (the C
// library's, or a sanitizer's). A failure is made where the kernel would make
// it: the call returns -1 with the errno, without entering the kernel, except
// close, which releases the descriptor first as the kernel always does.
//
// clock_gettime is not among them: CLOCK_MONOTONIC with a valid address
// cannot fail, so there is no real errno to inject there.
#pragma once

#include <climits> // INT_MIN, UINT_MAX
#include <cstddef> // size_t

namespace zf {

enum class Sys : unsigned char {
    Ppoll,        // ppoll, __ppoll_chk, syscall(SYS_ppoll); key: the first descriptor polled
    Ioctl,        // key: the descriptor
    Preadv2,      // key: the descriptor
    Read,         // key: the descriptor
    Close,        // key: the descriptor, released all the same
    Membarrier,   // syscall(SYS_membarrier); key: the command
    Tgkill,       // syscall(SYS_tgkill); key: the signal
    Sigqueue,     // syscall(SYS_rt_tgsigqueueinfo), pthread_sigqueue; key: the signal
    Sigaction,    // key: the signal
    Sigmask,      // pthread_sigmask, sigprocmask, syscall(SYS_rt_sigprocmask); key: how
    Sigtimedwait, // key: the lowest signal of the set
};

inline constexpr int kAnyKey = INT_MIN;
inline constexpr unsigned kEvery = UINT_MAX;

// Which calls a Fault takes, and what it does to them. The matching calls are
// numbered from 0 as they come; numbers [after, after + times) are its hits.
struct Rule {
    Sys sys;
    int err = 0;             // errno each hit fails with; 0: hits pass on
    int key = kAnyKey;       // see Sys
    unsigned after = 0;      // matching calls let through first
    unsigned times = 1;      // hits; 0: only count
    bool any_thread = false; // false: only the arming thread's calls match
    bool hold = false;       // the first hit stops at its gate until released
};

// Armed while it lives; several may be armed at once, the first that
// matches a call takes it.
class Fault {
public:
    explicit Fault(const Rule &rule);
    ~Fault(); // disarms, and lets a held call go first
    Fault(const Fault &) = delete;
    Fault &operator=(const Fault &) = delete;

    unsigned seen() const; // matching calls so far
    unsigned hits() const;
    void await_held(); // until the held call reaches its gate
    void release();    // lets the held call go on

private:
    std::size_t slot_;
};

// Whether the runtime's closes make the expedited barrier: false when the
// kernel refused its registration at start, ZELT_NO_MEMBARRIER kept it from
// asking, or a barrier failed since (it fences for good then).
bool barrier_registered();

// Whether ZF_AT_START armed a fault before main (injector.cpp tells how).
bool armed_at_start();

} // namespace zf
