// raised.hpp: what a runtime call raised, and values freed at scope exit.
#pragma once

#include <kernel.hpp>     // zt::Held
#include <zelt/embed.hpp> // zelt::Error

#include <string> // class name, message

namespace rt_test {

// The exception a call raised; an empty class name when it raised none.
struct Raised {
    std::string class_name;
    std::string message;
    int err = 0;
};

template <class F> Raised raised_by(F &&f) {
    try {
        f();
    } catch (const zelt::Error &e) {
        return {e.class_name(), e.message(), e.err()};
    }
    return {};
}

using Value = zt::Held; // a runtime value released at scope exit

} // namespace rt_test
