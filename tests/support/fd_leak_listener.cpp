// fd_leak_listener.cpp: descriptors open after a test that were not open before it.
#include "fd_leak_listener.hpp"

#include <cstdlib>  // strtol
#include <dirent.h> // opendir, readdir
#include <unistd.h> // readlink

namespace zt {
namespace {

// Every open descriptor and its target ("pipe:[1234]", "/dev/null", ...),
// less the one that reads the directory.
std::map<int, std::string> open_descriptors() {
    std::map<int, std::string> out;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir) return out;
    const int own = ::dirfd(dir);
    while (const dirent *e = ::readdir(dir)) {
        char *end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end || fd == own) continue; // "." and ".."
        char target[512];
        const ssize_t n = ::readlinkat(::dirfd(dir), e->d_name, target, sizeof target - 1);
        out[static_cast<int>(fd)] = n < 0 ? "?" : std::string(target, static_cast<std::size_t>(n));
    }
    ::closedir(dir);
    return out;
}

} // namespace

void FdLeakListener::OnTestStart(const ::testing::TestInfo &) { before_ = open_descriptors(); }

void FdLeakListener::OnTestEnd(const ::testing::TestInfo &test) {
    std::string leaked;
    for (const auto &[fd, target] : open_descriptors()) {
        auto was = before_.find(fd);
        if (was == before_.end() || was->second != target) // new, or closed and reused for another
            leaked += "\n  fd " + std::to_string(fd) + " -> " + target;
    }
    if (!leaked.empty())
        ADD_FAILURE() << test.test_suite_name() << "." << test.name()
                      << " left descriptors open:" << leaked;
}

} // namespace zt
