// test_hooks.hpp: what the runtime's own tests look at and no program needs.
// Exported by the tests' copy of libzelt alone (runtime/CMakeLists.txt), and in
// no installed header.
#pragma once

#include <zelt.h> // zl_value, ZL_API

#include <cstddef> // size_t

namespace zelt::test_hooks {

// The bytes IO's read buffer holds allocated, read or not.
ZL_API std::size_t read_buffer_capacity(zl_value io);

// Whether a close of IO has marked it and scanned the calls on it.
ZL_API bool close_scanned(zl_value io);

// Whether this thread's calls in flight name IO's stream.
ZL_API bool calls_name(zl_value io);

// Wake signals the runtime has sent.
ZL_API unsigned long wakes_sent();

// The epoll descriptor of SELECTOR, an object that carries a zl_selector.
ZL_API int selector_descriptor(zl_value selector);

// Whether this thread's calls fence after naming their stream (before its
// first call: whether a new thread's would).
ZL_API bool calls_fence();

} // namespace zelt::test_hooks

namespace zelt::test_hooks {

// The runtime's short sections, and a stream's reader's turn.
enum class Section { Loader, Define, Intern, Registry, Turn, Buffer };

// Runs FN(ARG) on this thread while it holds SECTION's lock (for Turn and
// Buffer, IO's), as if the section's own code were there: what a fork or a
// signal handler meets inside it.
ZL_API void while_holding(Section section, zl_value io, void (*fn)(void *), void *arg);

} // namespace zelt::test_hooks
