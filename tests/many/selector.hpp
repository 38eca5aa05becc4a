// selector.hpp: a Selector object (the wait_many extension's), called as a
// program calls it, released at scope exit.
#pragma once

#include "wait_any.hpp" // require_wait_many

#include <kernel.hpp>     // zt::Held
#include <zelt.h>         // zl_value, zl_data_ptr
#include <zelt/embed.hpp> // call, class_named, array_values, release

#include <algorithm> // sort: an answer as a set
#include <vector>    // answers

namespace many_test {

class Selector {
public:
    Selector() : v_(zelt::call(zelt::class_named("Selector"), "new")) {}
    ~Selector() { zelt::release(v_); }
    Selector(const Selector &) = delete;
    Selector &operator=(const Selector &) = delete;
    operator zl_value() const { return v_; }

    zl_value add(zl_value io) { return zelt::call(v_, "register", {io}); }
    zl_value remove(zl_value io) { return zelt::call(v_, "deregister", {io}); }
    long size() { return static_cast<long>(zelt::integer_value(zelt::call(v_, "size"))); }

    // The streams answered, sorted by value (empty for nil): LIMIT below 0
    // waits with none.
    std::vector<zl_value> wait(double limit = -1) {
        zl_value answer;
        if (limit < 0) {
            answer = zelt::call(v_, "wait");
        } else {
            zt::Held l(zelt::flt(limit));
            answer = zelt::call(v_, "wait", {l});
        }
        if (answer == ZL_NIL) return {};
        zt::Held held(answer);
        std::vector<zl_value> got = zelt::array_values(answer);
        std::sort(got.begin(), got.end());
        return got;
    }

private:
    zl_value v_;
};

// The values as wait() gives them: sorted.
inline std::vector<zl_value> sorted(std::vector<zl_value> v) {
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace many_test
