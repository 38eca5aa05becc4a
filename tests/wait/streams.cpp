// streams.cpp: making each kind of stream with its bytes in the kernel.
#include "streams.hpp"

#include <arpa/inet.h>  // htonl
#include <chrono>       // the settle deadline
#include <netinet/in.h> // sockaddr_in
#include <stdexcept>    // std::runtime_error
#include <string>       // error texts
#include <sys/ioctl.h>  // ioctl, FIONREAD
#include <sys/socket.h> // socket, bind, listen
#include <thread>       // sleep_for between looks

namespace wait_suite {
namespace {

template <zt::Ends (*Make)()> Filled through_peer(std::string_view contents) {
    zt::Ends ends = Make();
    if (!contents.empty()) {
        zt::write_all(ends.peer.get(), contents);
        settle(ends.near.get(), contents.size());
    }
    return {std::move(ends.near), std::move(ends.peer)};
}

Filled in_regular_file(std::string_view contents) { return {zt::regular_file(contents), zt::Fd()}; }

int checked(int rc, const char *what) {
    if (rc < 0) throw std::runtime_error(std::string(what) + " failed");
    return rc;
}

} // namespace

const std::vector<StreamKind> &readable_kinds() {
    static const std::vector<StreamKind> kinds = {
        {"pipe", through_peer<zt::make_pipe>}, {"socketpair", through_peer<zt::make_socketpair>},
        {"tcp", through_peer<zt::make_tcp>},   {"pty", through_peer<zt::make_pty>},
        {"fifo", through_peer<zt::make_fifo>}, {"regular_file", in_regular_file},
    };
    return kinds;
}

const std::vector<PeerKind> &closable_peer_kinds() {
    // Not the pseudo-terminal: the controller's close hangs the terminal up,
    // and the kernel then refuses the count (EIO) instead of reporting end of stream.
    static const std::vector<PeerKind> kinds = {
        {"pipe", zt::make_pipe},
        {"socketpair", zt::make_socketpair},
        {"tcp", zt::make_tcp},
        {"fifo", zt::make_fifo},
    };
    return kinds;
}

zt::Fd listening_tcp() {
    zt::Fd fd(checked(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket"));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    checked(::bind(fd.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr), "bind");
    checked(::listen(fd.get(), 1), "listen");
    return fd;
}

void settle(int fd, std::size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        int held = 0;
        checked(::ioctl(fd, FIONREAD, &held), "FIONREAD");
        if (static_cast<std::size_t>(held) == count) return;
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("the kernel holds " + std::to_string(held) + " bytes, not " +
                                     std::to_string(count));
        std::this_thread::sleep_for(std::chrono::milliseconds(1)); // polling a kernel state
    }
}

} // namespace wait_suite
