// exit_status.cpp: the last call's result read as input, nothing, or the end.
#include "exit_status.hpp"

#include <zelt/embed.hpp> // call, io_fd, is_string, string_value, integer_value

#include <sys/stat.h> // fstat: a regular file
#include <sys/time.h> // timeval: a zero limit

namespace zelt_io {
namespace {

// Nothing waiting now: the limit passed, unless the stream is at its end.
// At the end a stream polls readable, and eof? then answers at once; one
// that does not poll readable has a limit that passed.
int nothing_or_end(zl_value io) {
    timeval now{0, 0};
    if (zl_wait_for_single_fd(zelt::io_fd(io), 1, &now) <= 0) return kLimitPassed;
    return zelt::call(io, "eof?") == ZL_TRUE ? kEndOfStream : kLimitPassed;
}

// On a regular file the kernel's count may say nothing (a proc file counts
// 0 while it holds text, a sysfs file a page at its end), and no limit ever
// passes (a file always polls readable): eof? tells, reading nothing where
// the file's size is its length.
bool regular_file(zl_value io) {
    struct stat st;
    return ::fstat(zelt::io_fd(io), &st) == 0 && S_ISREG(st.st_mode);
}

// After a call that counts or waits: FOUND when its result says input waits.
int counted(zl_value io, bool found) {
    if (regular_file(io)) return zelt::call(io, "eof?") == ZL_TRUE ? kEndOfStream : kInputWaiting;
    return found ? kInputWaiting : nothing_or_end(io);
}

} // namespace

int exit_status(const std::string &name, bool has_args, zl_value result, zl_value io) {
    if (name == "wait") return counted(io, result != ZL_NIL);
    if (name == "ready?") return counted(io, result == ZL_TRUE);
    if (name == "nread")
        return counted(io, zelt::is_integer(result) && zelt::integer_value(result) > 0);
    if (name == "eof?") return result == ZL_TRUE ? kEndOfStream : kInputWaiting;
    if (name == "gets" || name == "read") {
        if (result == ZL_NIL) return kEndOfStream;
        const bool all = name == "read" && !has_args; // read takes all there is, "" at the end
        return all && zelt::string_value(result).empty() ? kEndOfStream : kInputWaiting;
    }
    return kInputWaiting; // close, fileno, an extension's own method
}

} // namespace zelt_io
