// counting_allocator.cpp: operator new, and outside sanitizer builds the
// malloc family, counted per thread and passed on to the C library.
#include "allocation_count.hpp" // allocations_on_this_thread, counts_malloc

#include <cerrno>  // ENOMEM, EINVAL
#include <cstddef> // size_t, align_val_t, max_align_t
#include <new>     // bad_alloc, nothrow_t

// Declared here, not through <cstdlib>: below, this file defines several of
// the malloc family, with parameter names of its own.
extern "C" {
void *malloc(std::size_t size);
void *aligned_alloc(std::size_t alignment, std::size_t size);
void free(void *p);
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZT_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZT_SANITIZED 1
#endif
#endif

namespace {

// Initial-exec: usable from the first allocation the dynamic linker makes.
[[gnu::tls_model("initial-exec")]] thread_local std::uint64_t allocations = 0;

void *allocate(std::size_t size, std::size_t alignment) {
#ifdef ZT_SANITIZED
    ++allocations; // elsewhere the malloc below counts it
#endif
    if (size == 0) size = 1; // a distinct pointer for every new
    if (alignment <= alignof(std::max_align_t)) return ::malloc(size);
    return ::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void *allocate_or_throw(std::size_t size, std::size_t alignment = 0) {
    if (void *p = allocate(size, alignment)) return p;
    throw std::bad_alloc();
}

} // namespace

namespace zt::heap {

std::uint64_t allocations_on_this_thread() { return allocations; }

bool counts_malloc() {
#ifdef ZT_SANITIZED
    return false;
#else
    return true;
#endif
}

} // namespace zt::heap

void *operator new(std::size_t size) { return allocate_or_throw(size); }
void *operator new[](std::size_t size) { return allocate_or_throw(size); }
void *operator new(std::size_t size, std::align_val_t a) {
    return allocate_or_throw(size, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t size, std::align_val_t a) {
    return allocate_or_throw(size, static_cast<std::size_t>(a));
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept { return allocate(size, 0); }
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    return allocate(size, 0);
}
void *operator new(std::size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}
void *operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
    return allocate(size, static_cast<std::size_t>(a));
}

void operator delete(void *p) noexcept { ::free(p); }
void operator delete[](void *p) noexcept { ::free(p); }
void operator delete(void *p, std::size_t) noexcept { ::free(p); }
void operator delete[](void *p, std::size_t) noexcept { ::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { ::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { ::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { ::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { ::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { ::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { ::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { ::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { ::free(p); }

#ifndef ZT_SANITIZED
extern "C" {
// The C library's own entry points, which these definitions pass on to;
// their names are the C library's, reserved to it.
// NOLINTBEGIN(bugprone-reserved-identifier)
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *p, std::size_t size);
void *__libc_memalign(std::size_t alignment, std::size_t size);
void *__libc_valloc(std::size_t size);
void *__libc_pvalloc(std::size_t size);
// NOLINTEND(bugprone-reserved-identifier)

void *malloc(std::size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
void *calloc(std::size_t count, std::size_t size) {
    ++allocations;
    return __libc_calloc(count, size);
}
void *realloc(void *p, std::size_t size) {
    ++allocations;
    return __libc_realloc(p, size);
}
void *memalign(std::size_t alignment, std::size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(std::size_t alignment, std::size_t size) {
    ++allocations;
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, std::size_t alignment, std::size_t size) {
    if (alignment % sizeof(void *) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    ++allocations;
    void *p = __libc_memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void *valloc(std::size_t size) {
    ++allocations;
    return __libc_valloc(size);
}
void *pvalloc(std::size_t size) {
    ++allocations;
    return __libc_pvalloc(size);
}
} // extern "C"
#endif
