// calls.hpp: making method calls in tests and looking at what they raised.
#pragma once

#include <kernel.hpp>     // zt::Held
#include <zelt/embed.hpp> // zelt::call, zelt::Error

#include <gtest/gtest.h> // testing::AssertionResult

#include <chrono>      // elapsed()
#include <optional>    // no exception
#include <string>      // read_bytes()
#include <string_view> // expected texts

namespace wait_suite {

using zt::Held; // a value made for a call, released at scope exit

// What CALL raised, or nothing when it returned.
template <class Call> std::optional<zelt::Error> raised_by(Call &&call) {
    try {
        (void)call();
    } catch (const zelt::Error &e) {
        return e;
    }
    return std::nullopt;
}

// Success when ERROR is of class KLASS and its message holds TEXT.
inline testing::AssertionResult raised(const std::optional<zelt::Error> &error,
                                       std::string_view klass, std::string_view text) {
    if (!error) return testing::AssertionFailure() << "nothing was raised";
    if (error->class_name() != klass || error->message().find(text) == std::string::npos)
        return testing::AssertionFailure() << "raised " << error->what();
    return testing::AssertionSuccess() << error->what();
}

// Up to N bytes read through the IO's own read(n).
inline std::string read_bytes(zl_value io, int64_t n) {
    Held s(zelt::call(io, "read", {zelt::integer(n)}));
    return zelt::string_value(s);
}

inline double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace wait_suite
