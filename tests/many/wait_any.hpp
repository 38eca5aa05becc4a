// wait_any.hpp: IO.wait_any called as a program calls it, its answer as text.
#pragma once

#include <kernel.hpp>     // zt::Held
#include <zelt.h>         // zl_cIO
#include <zelt/embed.hpp> // array, call, inspect, release

#include <string> // the answer, inspected
#include <vector> // the streams

namespace many_test {

// Loads the wait_many extension once, from the build tree.
inline void require_wait_many() { zelt::require("wait_many"); }

// IO.wait_any(streams, limit) (no limit when LIMIT is null), answered as the
// Array's values, or empty for nil; the Arrays made are released.
inline std::vector<zl_value> wait_any(const std::vector<zl_value> &streams, const zl_value *limit) {
    zt::Held set(zelt::array(streams));
    zl_value answer = limit ? zelt::call(zl_cIO, "wait_any", {set, *limit})
                            : zelt::call(zl_cIO, "wait_any", {set});
    if (answer == ZL_NIL) return {};
    zt::Held held(answer);
    return zelt::array_values(answer);
}

inline std::vector<zl_value> wait_any(const std::vector<zl_value> &streams, double limit) {
    const zl_value l = zelt::flt(limit);
    zt::Held held(l);
    return wait_any(streams, &l);
}

inline std::vector<zl_value> wait_any(const std::vector<zl_value> &streams) {
    return wait_any(streams, nullptr);
}

} // namespace many_test
