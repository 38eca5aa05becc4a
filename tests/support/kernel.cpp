// kernel.cpp: making the kernel objects that tests run on.
#include "kernel.hpp"

#include <arpa/inet.h>  // htonl
#include <cerrno>       // errno
#include <cstdlib>      // mkstemp, grantpt
#include <dirent.h>     // opendir: counting descriptors
#include <fcntl.h>      // open
#include <netinet/in.h> // sockaddr_in
#include <stdexcept>    // std::runtime_error
#include <sys/socket.h> // socketpair, socket
#include <sys/stat.h>   // mkfifo
#include <termios.h>    // cfmakeraw
#include <unistd.h>     // pipe, write, close

namespace zt {
namespace {

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what + ": " + std::to_string(errno));
}

int check(int rc, const char *what) {
    if (rc < 0) fail(what);
    return rc;
}

} // namespace

Fd &Fd::operator=(Fd &&o) noexcept {
    if (this != &o) {
        reset();
        fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
}

void Fd::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

Ends make_pipe() {
    int p[2];
    check(::pipe2(p, O_CLOEXEC), "pipe");
    return {Fd(p[0]), Fd(p[1])};
}

Ends make_socketpair() {
    int s[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s), "socketpair");
    return {Fd(s[0]), Fd(s[1])};
}

Ends make_tcp() {
    Fd listener(check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket"));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    check(::bind(listener.get(), reinterpret_cast<sockaddr *>(&addr), len), "bind");
    check(::listen(listener.get(), 1), "listen");
    check(::getsockname(listener.get(), reinterpret_cast<sockaddr *>(&addr), &len), "getsockname");
    Fd client(check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket"));
    check(::connect(client.get(), reinterpret_cast<sockaddr *>(&addr), len), "connect");
    Fd server(check(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC), "accept"));
    return {std::move(server), std::move(client)};
}

Ends make_pty() {
    Fd controller(check(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), "posix_openpt"));
    check(::grantpt(controller.get()), "grantpt");
    check(::unlockpt(controller.get()), "unlockpt");
    char name[64];
    if (::ptsname_r(controller.get(), name, sizeof name) != 0) fail("ptsname_r");
    Fd terminal(check(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC), "open pts"));
    termios t;
    check(::tcgetattr(terminal.get(), &t), "tcgetattr");
    ::cfmakeraw(&t); // bytes arrive as written, not a line at a time
    check(::tcsetattr(terminal.get(), TCSANOW, &t), "tcsetattr");
    return {std::move(terminal), std::move(controller)};
}

Ends make_fifo() {
    char dir[] = "/tmp/zelt-fifo-XXXXXX";
    if (!::mkdtemp(dir)) fail("mkdtemp");
    std::string path = std::string(dir) + "/fifo";
    check(::mkfifo(path.c_str(), 0600), "mkfifo");
    Fd near(check(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), "open fifo"));
    Fd peer(check(::open(path.c_str(), O_WRONLY | O_CLOEXEC), "open fifo"));
    int flags = check(::fcntl(near.get(), F_GETFL), "fcntl");
    check(::fcntl(near.get(), F_SETFL, flags & ~O_NONBLOCK), "fcntl"); // a plain blocking reader
    ::unlink(path.c_str());
    ::rmdir(dir);
    return {std::move(near), std::move(peer)};
}

Fd regular_file(std::string_view contents) {
    char path[] = "/tmp/zelt-file-XXXXXX";
    Fd fd(check(::mkostemp(path, O_CLOEXEC), "mkstemp"));
    write_all(fd.get(), contents);
    Fd reader(check(::open(path, O_RDONLY | O_CLOEXEC), "open"));
    ::unlink(path);
    return reader;
}

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("write");
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

int open_fd_count() {
    DIR *d = ::opendir("/proc/self/fd");
    if (!d) fail("opendir");
    int n = 0;
    while (::readdir(d)) ++n;
    ::closedir(d);
    return n - 3; // ".", ".." and the directory's own descriptor
}

void require_wait() { zelt::require("wait"); }

} // namespace zt
