// raised.hpp: what a runtime call raised, and values freed at scope exit.
#pragma once

#include <zelt/embed.hpp> // zelt::Error, zelt::release

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

// A runtime value released when it goes out of scope (immediates are left
// alone by release, so any value may be held).
class Value {
public:
    explicit Value(zl_value v) : v_(v) {}
    Value(const Value &) = delete;
    Value &operator=(const Value &) = delete;
    ~Value() { zelt::release(v_); }
    operator zl_value() const { return v_; }

private:
    zl_value v_;
};

} // namespace rt_test
