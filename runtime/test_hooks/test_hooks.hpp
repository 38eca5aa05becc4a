// test_hooks.hpp: what the runtime's own tests look at and no program needs.
// Exported from libzelt, but in no installed header.
#pragma once

#include <zelt.h> // zl_value, ZL_API

#include <cstddef> // size_t

namespace zelt::test_hooks {

// The bytes IO's read buffer holds allocated, read or not.
ZL_API std::size_t read_buffer_capacity(zl_value io);

} // namespace zelt::test_hooks
