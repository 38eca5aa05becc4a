// allocation_count.hpp: heap allocations made by the calling thread.
//
// counting_allocator.cpp replaces the global operator new (every form) in
// the test executable, so that allocations made by libzelt and by the
// loaded extension are counted too. Outside sanitizer builds it also
// interposes the malloc family; a sanitizer owns malloc, so there only
// operator new is counted.
#pragma once

#include <cstdint> // uint64_t

namespace zt::heap {

std::uint64_t allocations_on_this_thread();
bool counts_malloc(); // whether malloc, calloc, realloc ... are counted as well

} // namespace zt::heap
