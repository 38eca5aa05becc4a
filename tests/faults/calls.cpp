// calls.cpp: method calls made for the fault tests, and what they left.
#include "calls.hpp"

#include <cerrno>     // EBADF
#include <fcntl.h>    // fcntl
#include <sys/stat.h> // fstat

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
