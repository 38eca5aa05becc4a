// kernel.hpp: real kernel objects for tests, each end owned by an Fd.
#pragma once

#include <zelt/embed.hpp> // zl_value, io_new, release

#include <string>      // paths, contents
#include <string_view> // write_all
#include <utility>     // std::exchange

namespace zt {

// A descriptor closed when it goes out of scope.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); } // ownership passes to the caller
    void reset();

private:
    int fd_ = -1;
};

// Two connected ends: bytes written to `peer` arrive at `near`.
struct Ends {
    Fd near; // the end a test wraps and reads
    Fd peer; // the end a test writes to
};

Ends make_pipe();
Ends make_socketpair();
Ends make_tcp();  // loopback TCP, connected
Ends make_pty();  // near: the terminal side, raw mode; peer: the controller
Ends make_fifo(); // a named pipe, unlinked once both ends are open

// A regular file holding CONTENTS, opened for reading (already unlinked).
Fd regular_file(std::string_view contents);

void write_all(int fd, std::string_view bytes);
int open_fd_count(); // entries in /proc/self/fd

// An IO object released (and so closed) when it goes out of scope.
class Io {
public:
    explicit Io(Fd fd) : v_(zelt::io_new(fd.get())) { fd.release(); }
    explicit Io(int fd) : v_(zelt::io_new(fd)) {}
    Io(const Io &) = delete;
    Io &operator=(const Io &) = delete;
    ~Io() { zelt::release(v_); }
    zl_value value() const { return v_; }
    operator zl_value() const { return v_; }

private:
    zl_value v_;
};

// A value made for a test (a String, a Float, a result), released at scope
// exit; immediates are left alone by release, so any value may be held.
class Held {
public:
    explicit Held(zl_value v) : v_(v) {}
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held() { zelt::release(v_); }
    operator zl_value() const { return v_; }

private:
    zl_value v_;
};

// Loads the wait extension once, from the build tree.
void require_wait();

} // namespace zt
