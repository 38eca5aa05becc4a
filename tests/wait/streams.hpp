// streams.hpp: the kinds of stream the wait suite runs on, made holding given bytes.
#pragma once

#include "kernel.hpp" // zt::Fd, zt::Ends

#include <cstddef>     // size_t
#include <ostream>     // PrintTo
#include <string_view> // contents
#include <vector>      // the tables of kinds

namespace wait_suite {

// A readable descriptor whose kernel side holds the bytes asked for, and the
// peer end (if any) that keeps it open.
struct Filled {
    zt::Fd near;
    zt::Fd peer;
};

struct StreamKind {
    const char *name;
    Filled (*make)(std::string_view contents);
};

struct PeerKind {
    const char *name;
    zt::Ends (*make)();
};

// Test parameters print as their names.
inline void PrintTo(const StreamKind &kind, std::ostream *os) { *os << kind.name; }
inline void PrintTo(const PeerKind &kind, std::ostream *os) { *os << kind.name; }

// Pipe, socket pair, loopback TCP, pseudo-terminal, FIFO and regular file.
const std::vector<StreamKind> &readable_kinds();
// Those whose peer can go away, leaving the reader at end of stream.
const std::vector<PeerKind> &closable_peer_kinds();

// A loopback TCP socket that listens and has accepted nothing.
zt::Fd listening_tcp();

// Returns once the kernel reports COUNT bytes readable on FD (bytes written
// to a pseudo-terminal reach its other side a little later).
void settle(int fd, std::size_t count);

} // namespace wait_suite
