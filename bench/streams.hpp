// streams.hpp: the descriptors and IO objects the benchmarks run on.
#pragma once

#include <zelt/embed.hpp> // zl_value, Id, io_new, release

#include <string_view> // contents written to a pipe
#include <utility>     // std::exchange

namespace zb {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&) = delete;
    ~Fd();
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

struct Ends {
    Fd near; // read and waited on
    Fd peer; // written to
};

Ends pipe_holding(std::string_view bytes); // a pipe whose near end holds BYTES unread
Ends socket_pair();

// An IO object over a descriptor it owns; released (and closed) at scope exit.
class Io {
public:
    explicit Io(Fd fd) : v_(zelt::io_new(fd.get())) { fd.release(); }
    Io(const Io &) = delete;
    Io &operator=(const Io &) = delete;
    ~Io() { zelt::release(v_); }
    zl_value value() const { return v_; }

private:
    zl_value v_;
};

// The methods' names, interned once the wait extension is loaded.
struct Methods {
    zelt::Id nread, ready, wait, gets;
};
const Methods &methods();

} // namespace zb
