// streams.hpp: the descriptors and IO objects the benchmarks run on.
#pragma once

#include <kernel.hpp>     // zt::Fd, zt::Ends, zt::Io: the kernel objects the tests use too
#include <zelt/embed.hpp> // zelt::Id

#include <string_view> // contents written to a pipe

namespace zb {

using zt::Ends;
using zt::Fd;
using zt::Io;

Ends pipe_holding(std::string_view bytes); // a pipe whose near end holds BYTES unread
inline Ends socket_pair() { return zt::make_socketpair(); }

// The methods' names, interned once the wait extension is loaded.
struct Methods {
    zelt::Id nread, ready, wait, gets;
};
const Methods &methods();

// The output side's names, interned once the wait_write extension is loaded
// (apart: the paths above are counted with the wait extension alone loaded).
struct WriteMethods {
    zelt::Id nwrite, writable, wait_writable;
};
const WriteMethods &write_methods();

} // namespace zb
