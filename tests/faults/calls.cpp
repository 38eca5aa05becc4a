// calls.cpp: method calls made for the fault tests, and what they left.
#include "calls.hpp"

#include <cerrno>        // EBADF
#include <chrono>        // the close's bound
#include <cstdio>        // fflush: the failure printed before the run ends
#include <cstdlib>       // _Exit
#include <fcntl.h>       // fcntl
#include <gtest/gtest.h> // ADD_FAILURE
#include <sys/stat.h>    // fstat

namespace faults_test {

Outcome call(zl_value io, const char *method, const std::vector<zl_value> &args) {
    try {
        zl_value v =
            zelt::call(io, zelt::intern(method), static_cast<int>(args.size()), args.data());
        std::string shown = zelt::inspect(v);
        if (zelt::is_string(v)) zelt::release(v); // the receiver stays
        return {shown};
    } catch (const zelt::Error &e) {
        return {e.what(), e.err()};
    }
}

std::future<Outcome> call_on_thread(zl_value io, const char *method,
                                    const std::vector<zl_value> &args) {
    return std::async(std::launch::async, [=] { return call(io, method, args); });
}

Outcome close_within_seconds(zl_value io) {
    auto closing = call_on_thread(io, "close");
    return returned_within_seconds(closing);
}

Outcome returned_within_seconds(std::future<Outcome> &closing) {
    if (closing.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "the close never returned";
        std::fflush(stdout);
        std::_Exit(1); // the closing thread cannot be joined
    }
    return closing.get();
}

zt::Ends pipe_with(const char *data) {
    zt::Ends e = zt::make_pipe();
    zt::write_all(e.peer.get(), data);
    e.peer.reset();
    return e;
}

ino_t inode_of(int fd) {
    struct stat st {};
    return ::fstat(fd, &st) == 0 ? st.st_ino : 0;
}

bool is_released(int fd) {
    errno = 0;
    return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

const char *closed_stream() { return "IOError: closed stream"; }

bool starts(const std::string &text, const std::string &prefix) {
    return text.rfind(prefix, 0) == 0;
}

} // namespace faults_test
