// next.hpp: the definition an interposed call passes on to.
#pragma once

#include <atomic>  // resolved once, by whichever thread calls first
#include <dlfcn.h> // dlsym, RTLD_NEXT

namespace zf {

// The next definition of NAME after this executable's: the C library's, or a
// sanitizer's. No function-local static: its guard would wait through
// syscall(), which is interposed too.
template <class F> F next(std::atomic<F> &cache, const char *name) {
    F f = cache.load(std::memory_order_acquire);
    if (!f) {
        f = reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
        cache.store(f, std::memory_order_release); // every thread finds the same
    }
    return f;
}

} // namespace zf
