// subprocess.cpp: posix_spawn with the test's descriptors, output read
// through poll so that neither pipe can fill up and stall the child.
#include "subprocess.hpp"

#include <cerrno>         // errno, EINTR
#include <csignal>        // kill, SIGKILL
#include <cstring>        // strncmp
#include <fcntl.h>        // open, fcntl, F_DUPFD_CLOEXEC
#include <poll.h>         // poll
#include <spawn.h>        // posix_spawn, file actions
#include <stdexcept>      // runtime_error
#include <sys/resource.h> // rusage: the child's peak memory
#include <sys/wait.h>     // wait4, waitpid, WIFEXITED
#include <system_error>   // system_error
#include <unistd.h>       // pipe2, read, close

extern char **environ;

namespace zt {
namespace {

using Clock = std::chrono::steady_clock;

int checked(int result, const char *what) {
    if (result < 0) throw std::system_error(errno, std::generic_category(), what);
    return result;
}

// Above every descriptor number a test hands the child, so that no dup2
// into the child's numbers overwrites a source still to be copied.
int high_copy(int fd) { return checked(::fcntl(fd, F_DUPFD_CLOEXEC, 100), "fcntl F_DUPFD"); }

std::vector<std::string> child_environment(const std::vector<std::string> &extra) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "ZELT_EXT_PATH=", 14) != 0) env.emplace_back(*e);
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &strings) {
    std::vector<char *> p;
    p.reserve(strings.size() + 1);
    for (std::string &s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

} // namespace

std::string describe(const Outcome &o) {
    std::string s = o.timed_out ? "timed out"
                    : o.signal  ? "killed by signal " + std::to_string(o.signal)
                                : "exit status " + std::to_string(o.exit_code);
    return s + "\n--- stdout:\n" + o.out + "--- stderr:\n" + o.err + "---";
}

Child::Child(const std::string &program, const std::vector<std::string> &args,
             const std::map<int, int> &fds, const std::vector<std::string> &env) {
    int out[2], err[2];
    checked(::pipe2(out, O_CLOEXEC), "pipe2");
    checked(::pipe2(err, O_CLOEXEC), "pipe2");
    std::map<int, int> wanted = fds;
    int devnull = -1;
    if (!wanted.count(0))
        wanted[0] = devnull = checked(::open("/dev/null", O_RDONLY | O_CLOEXEC), "open");
    wanted.emplace(1, out[1]); // captured unless FDS names it
    wanted.emplace(2, err[1]);

    std::vector<int> copies;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (auto [target, source] : wanted) {
        copies.push_back(high_copy(source));
        posix_spawn_file_actions_adddup2(&actions, copies.back(),
                                         target); // the copy is not inherited
    }
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<std::string> env_strings = child_environment(env);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr,
                                      pointers(argv_strings).data(), pointers(env_strings).data());
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : copies) ::close(fd);
    for (int fd : {out[1], err[1], devnull})
        if (fd >= 0) ::close(fd);
    out_ = out[0];
    err_ = err[0];
    if (spawned != 0) {
        ::close(out_);
        ::close(err_);
        throw std::system_error(spawned, std::generic_category(), "posix_spawn " + program);
    }
}

Child::~Child() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    for (int fd : {out_, err_})
        if (fd >= 0) ::close(fd);
}

template <class Done> bool Child::pump(Clock::time_point deadline, Done done) {
    while ((out_ >= 0 || err_ >= 0) && !done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd p[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}}; // a negative fd is skipped
        int n = ::poll(p, 2, static_cast<int>(left.count()) + 1);
        if (n < 0 && errno == EINTR) continue;
        checked(n, "poll");
        int *ends[2] = {&out_, &err_};
        std::string *into[2] = {&outcome_.out, &outcome_.err};
        for (int i = 0; i < 2; ++i) {
            if (*ends[i] < 0 || p[i].revents == 0) continue;
            char buf[4096];
            ssize_t got = ::read(*ends[i], buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) { // the end, or an error that ends it just the same
                ::close(*ends[i]);
                *ends[i] = -1;
            } else {
                into[i]->append(buf, static_cast<std::size_t>(got));
            }
        }
    }
    return true;
}

std::string Child::read_stdout_until(std::string_view text, std::chrono::milliseconds limit) {
    pump(Clock::now() + limit, [&] { return outcome_.out.find(text) != std::string::npos; });
    return outcome_.out;
}

Outcome Child::finish(std::chrono::milliseconds limit) {
    if (!pump(Clock::now() + limit, [] { return false; })) {
        outcome_.timed_out = true;
        ::kill(pid_, SIGKILL);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid_, &status, 0, &usage) < 0)
        if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "wait4");
    pid_ = -1;
    outcome_.max_rss_kb = usage.ru_maxrss;
    if (WIFEXITED(status)) outcome_.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome_.signal = WTERMSIG(status);
    return outcome_;
}

Outcome run(const std::string &program, const std::vector<std::string> &args,
            const std::map<int, int> &fds, const std::vector<std::string> &env,
            std::chrono::milliseconds limit) {
    return Child(program, args, fds, env).finish(limit);
}

} // namespace zt
