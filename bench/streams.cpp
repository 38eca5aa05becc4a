// streams.cpp: pipes, socket pairs and the loaded wait extension.
#include "streams.hpp" // zb::Fd, zb::Ends, zb::methods

#include <cerrno>       // errno
#include <fcntl.h>      // O_CLOEXEC
#include <stdexcept>    // std::runtime_error
#include <string>       // messages
#include <sys/socket.h> // socketpair
#include <unistd.h>     // pipe2, write, close

namespace zb {
namespace {

void check(int rc, const char *what) {
    if (rc < 0)
        throw std::runtime_error(std::string(what) + " failed, errno " + std::to_string(errno));
}

} // namespace

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Ends pipe_holding(std::string_view bytes) {
    int p[2];
    check(::pipe2(p, O_CLOEXEC), "pipe2");
    Ends ends{Fd(p[0]), Fd(p[1])};
    if (!bytes.empty()) {
        ssize_t n = ::write(ends.peer.get(), bytes.data(), bytes.size());
        if (n != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("short write to a pipe");
    }
    return ends;
}

Ends socket_pair() {
    int s[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), "socketpair");
    return {Fd(s[0]), Fd(s[1])};
}

const Methods &methods() {
    static const Methods m = [] {
        zelt::require("wait");
        return Methods{zelt::intern("nread"), zelt::intern("ready?"), zelt::intern("wait"),
                       zelt::intern("gets")};
    }();
    return m;
}

} // namespace zb
