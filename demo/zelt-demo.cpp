// zelt-demo: what scripts/demo needs and a shell alone cannot set up.
//
//   zelt-demo peer socket|tcp|terminal SECONDS TEXT -- COMMAND...
//       runs COMMAND with its standard input on a new stream of that kind (a
//       socket pair, a loopback TCP connection, or a terminal with echo off)
//       and writes TEXT into the other end after SECONDS, then closes that
//       end; exits with COMMAND's status.
//   zelt-demo close SECONDS
//       one thread makes wait(10) on an empty pipe; the main thread closes
//       the stream after SECONDS; prints what the wait gave and when.
#include <zelt/embed.hpp> // require, io_new, call, flt, inspect, Error

#include <arpa/inet.h>  // htonl, INADDR_LOOPBACK
#include <cerrno>       // errno
#include <chrono>       // steady_clock, durations
#include <cstdio>       // printf, fprintf
#include <cstdlib>      // strtod, posix_openpt, grantpt, unlockpt, ptsname_r
#include <cstring>      // strcmp
#include <fcntl.h>      // open, O_RDWR, O_NOCTTY, O_CLOEXEC
#include <netinet/in.h> // sockaddr_in
#include <spawn.h>      // posix_spawnp, file actions
#include <string>       // messages
#include <sys/socket.h> // socketpair, socket, bind, listen, connect, accept4
#include <sys/wait.h>   // waitpid
#include <system_error> // system_error
#include <termios.h>    // tcgetattr, tcsetattr, ECHO
#include <thread>       // the waiting thread, sleep_for
#include <unistd.h>     // pipe2, write, close

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

int check(int result, const char *what) { // errno turned into an exception here only
    if (result < 0) throw std::system_error(errno, std::generic_category(), what);
    return result;
}

struct Ends {
    int near, peer; // the command's end, the writer's
};

Ends socket_pair() {
    int sv[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), "socketpair");
    return {sv[0], sv[1]};
}

Ends tcp_connection() {
    const int listener = check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto *any = reinterpret_cast<sockaddr *>(&addr);
    check(::bind(listener, any, len), "bind");
    check(::listen(listener, 1), "listen");
    check(::getsockname(listener, any, &len), "getsockname"); // the port the kernel chose
    const int client = check(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), "socket");
    check(::connect(client, any, len), "connect");
    const int server = check(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC), "accept4");
    ::close(listener);
    return {server, client};
}

Ends terminal() { // as a person's terminal is, a line at a time, but without echo
    const int controller = check(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC), "posix_openpt");
    check(::grantpt(controller), "grantpt");
    check(::unlockpt(controller), "unlockpt");
    char name[64];
    if (::ptsname_r(controller, name, sizeof name) != 0) check(-1, "ptsname_r");
    const int tty = check(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC), "open pts");
    termios t;
    check(::tcgetattr(tty, &t), "tcgetattr");
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    check(::tcsetattr(tty, TCSANOW, &t), "tcsetattr");
    return {tty, controller};
}

int peer(const std::string &kind, double seconds, const std::string &text, char **command) {
    const Ends ends = kind == "socket" ? socket_pair()
                      : kind == "tcp"  ? tcp_connection()
                                       : terminal();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends.near, 0);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, command[0], &actions, nullptr, command, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) throw std::system_error(spawned, std::generic_category(), command[0]);
    ::close(ends.near);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    check(static_cast<int>(::write(ends.peer, text.data(), text.size())), "write");
    // A socket's end is the stream's end; a terminal must outlast the
    // command's reads, as a hung-up terminal refuses them.
    const bool hang_up_after = kind == "terminal";
    if (!hang_up_after) ::close(ends.peer);
    int status = 0;
    check(::waitpid(pid, &status, 0), "waitpid");
    if (hang_up_after) ::close(ends.peer);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int close_from_another_thread(double seconds) {
    zelt::require("wait");
    int p[2];
    check(::pipe2(p, O_CLOEXEC),
          "pipe2"); // the writer stays open: nothing ends the wait but the close
    const zl_value io = zelt::io_new(p[0]);
    const zl_value limit = zelt::flt(10);
    const auto start = Clock::now();
    Clock::time_point ended;
    std::string outcome;
    std::thread waiter([&] {
        try {
            outcome = zelt::inspect(zelt::call(io, "wait", {limit}));
        } catch (const zelt::Error &e) {
            outcome = e.class_name() + ": " + e.message();
        }
        ended = Clock::now();
    });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto closed = Clock::now();
    zelt::call(io, "close");
    waiter.join();
    using us = std::chrono::duration<double, std::micro>;
    std::printf("thread 2: wait(10) on an empty pipe\n"
                "thread 1: close, after %.3f s\n"
                "thread 2: %s, %.0f us after the close\n",
                std::chrono::duration<double>(closed - start).count(), outcome.c_str(),
                us(ended - closed).count());
    zelt::release(limit);
    zelt::release(io);
    ::close(p[1]);
    return 0;
}

int usage() {
    std::fprintf(stderr, "usage: zelt-demo peer socket|tcp|terminal SECONDS TEXT -- COMMAND...\n"
                         "       zelt-demo close SECONDS\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "close") == 0)
            return close_from_another_thread(std::strtod(argv[2], nullptr));
        if (argc >= 7 && std::strcmp(argv[1], "peer") == 0 && std::strcmp(argv[5], "--") == 0) {
            const std::string kind = argv[2];
            if (kind != "socket" && kind != "tcp" && kind != "terminal") return usage();
            return peer(kind, std::strtod(argv[3], nullptr), argv[4], argv + 6);
        }
        return usage();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zelt-demo: %s\n", e.what());
        return 1;
    }
}
