// output_side.cpp: filling and draining kernel objects, and wait_for's words.
#include "output_side.hpp"

#include <cerrno>    // EAGAIN, EINTR
#include <fcntl.h>   // fcntl, O_NONBLOCK
#include <poll.h>    // poll: the drainer's sleep until input
#include <stdexcept> // std::runtime_error
#include <unistd.h>  // read, write

namespace write_suite {

Through::Through(zt::Fd fd) : zt::Io(std::move(fd)) { zelt::call(value(), "sync=", {ZL_TRUE}); }

void require_extensions() {
    zt::require_wait();
    zelt::require("wait_write");
    zelt::require("wait_many");
}

std::size_t fill(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    static const std::string chunk(512, 'x'); // small: a terminal takes bytes a few at a time
    std::size_t taken = 0;
    for (;;) {
        const ssize_t n = ::write(fd, chunk.data(), chunk.size());
        if (n > 0) {
            taken += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // A terminal's bytes move on to its controller's input a little
        // later, and a TCP peer's window opens: full once it stays so.
        pollfd p = {fd, POLLOUT, 0};
        if (n < 0 && errno == EAGAIN && ::poll(&p, 1, 20) == 0) break;
        if (n < 0 && errno == EAGAIN) continue;
        ::fcntl(fd, F_SETFL, flags);
        throw std::runtime_error("fill: write failed");
    }
    ::fcntl(fd, F_SETFL, flags);
    return taken;
}

std::size_t drain(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    char buf[4096];
    std::size_t got = 0;
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) got += static_cast<std::size_t>(n);
    ::fcntl(fd, F_SETFL, flags);
    return got;
}

std::vector<std::string> words(zl_value answer) {
    if (answer == ZL_NIL) return {};
    zt::Held held(answer);
    const std::vector<zl_value> values = zelt::array_values(answer);
    std::vector<std::string> out;
    out.reserve(values.size());
    for (zl_value w : values) out.push_back(zelt::string_value(w));
    return out;
}

namespace {

zl_value event_array(const std::vector<std::string> &events) {
    std::vector<zl_value> values;
    values.reserve(events.size());
    for (const std::string &e : events) values.push_back(zelt::str(e));
    return zelt::array(values);
}

void release_all(zl_value array) {
    for (zl_value v : zelt::array_values(array)) zelt::release(v);
    zelt::release(array);
}

} // namespace

std::vector<std::string> wait_for(zl_value io, const std::vector<std::string> &events) {
    const zl_value asked = event_array(events);
    try {
        auto found = words(zelt::call(io, "wait_for", {asked}));
        release_all(asked);
        return found;
    } catch (...) {
        release_all(asked);
        throw;
    }
}

std::vector<std::string> wait_for(zl_value io, const std::vector<std::string> &events,
                                  double limit) {
    const zl_value asked = event_array(events);
    const zl_value seconds = zelt::flt(limit);
    try {
        auto found = words(zelt::call(io, "wait_for", {asked, seconds}));
        release_all(asked);
        zelt::release(seconds);
        return found;
    } catch (...) {
        release_all(asked);
        zelt::release(seconds);
        throw;
    }
}

Drainer::Drainer(int fd)
    : thread_([this, fd] {
          while (!stop_.load()) {
              pollfd p = {fd, POLLIN, 0};
              if (::poll(&p, 1, 10) > 0) drain(fd); // a look now and then for the stop
          }
      }) {}

Drainer::~Drainer() {
    stop_.store(true);
    thread_.join();
}

} // namespace write_suite
