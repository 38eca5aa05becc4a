// exit_status.cpp: the last call's result read as input, nothing, or the end.
#include "exit_status.hpp"

#include <zelt/embed.hpp> // call, io_fd, is_string, string_value, integer_value

#include <cerrno>       // errno, EBADF
#include <poll.h>       // POLLOUT, POLLERR, POLLHUP: a reader gone
#include <sys/ioctl.h>  // ioctl, FIONREAD: whether the kernel counts the stream's bytes
#include <sys/socket.h> // getsockopt, SO_ACCEPTCONN: a listening socket
#include <sys/stat.h>   // fstat: a regular file
#include <sys/time.h>   // timeval: a zero limit

namespace zelt_io {
namespace {

// False, with errno, when the kernel will not count FD's bytes.
bool counted(int fd) {
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0;
}

bool listening(int fd) {
    int on = 0;
    socklen_t len = sizeof on;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &on, &len) == 0 && on;
}

// Nothing counted now: the limit passed, unless the stream is at its end.
// At the end a stream polls readable, and eof? then answers at once; one
// that does not poll readable has a limit that passed. A stream the kernel
// does not count polls readable with input too (/dev/zero), which eof?
// tells apart, reading into the runtime's buffer; a listening socket has a
// connection waiting, and no input for eof? to read.
int nothing_or_end(zl_value io) {
    const int fd = zelt::io_fd(io);
    timeval now{0, 0};
    if (zl_wait_for_single_fd(fd, 1, &now) <= 0) return kLimitPassed;
    if (listening(fd)) return kInputWaiting;
    const bool count_known = counted(fd); // before eof? buffers input
    if (zelt::call(io, "eof?") == ZL_TRUE) return kEndOfStream;
    return count_known ? kLimitPassed : kInputWaiting; // counted: it came after the call
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
int after_count(zl_value io, bool found) {
    if (regular_file(io)) return zelt::call(io, "eof?") == ZL_TRUE ? kEndOfStream : kInputWaiting;
    return found ? kInputWaiting : nothing_or_end(io);
}

// After nwrite, which tells of no wait: the reader gone (the stream polls
// POLLERR, or POLLHUP), or 0.
int reader_gone_or_not(zl_value io) {
    timeval now{0, 0};
    const int revents = zl_wait_for_single_fd(zelt::io_fd(io), POLLOUT, &now);
    return revents > 0 && (revents & (POLLERR | POLLHUP)) ? kReaderGone : kInputWaiting;
}

} // namespace

int status_of_refused_count(int err, zl_value io) {
    const int fd = zelt::io_fd(io);
    if (err == 0 || err == EBADF || fd < 0 || zelt::io_closed(io)) return -1;
    if (counted(fd) || errno != err) return -1; // not the count that raised
    return nothing_or_end(io);
}

int status_of_answered(zl_value io) {
    zl_value count = ZL_NIL;
    try {
        count = zelt::call(io, "nread");
    } catch (const zelt::Error &e) {
        const int status = status_of_refused_count(e.err(), io);
        if (status < 0) throw;
        return status;
    }
    return exit_status("nread", false, count, io);
}

int exit_status(const std::string &name, bool has_args, zl_value result, zl_value io) {
    if (name == "wait") return after_count(io, result != ZL_NIL);
    if (name == "ready?") return after_count(io, result == ZL_TRUE);
    if (name == "nread")
        return after_count(io, zelt::is_integer(result) && zelt::integer_value(result) > 0);
    if (name == "eof?") return result == ZL_TRUE ? kEndOfStream : kInputWaiting;
    if (name == "writable?") // nil: it would fail, not wait
        return result == ZL_TRUE ? kInputWaiting : result == ZL_FALSE ? kLimitPassed : kReaderGone;
    if (name == "wait_writable") // the stream or true, nil at the limit, false: the reader gone
        return result == ZL_NIL ? kLimitPassed : result == ZL_FALSE ? kReaderGone : kInputWaiting;
    if (name == "wait_for") return result == ZL_NIL ? kLimitPassed : kInputWaiting;
    if (name == "nwrite") return reader_gone_or_not(io);
    if (name == "gets" || name == "read") {
        if (result == ZL_NIL) return kEndOfStream;
        const bool all = name == "read" && !has_args; // read takes all there is, "" at the end
        return all && zelt::string_value(result).empty() ? kEndOfStream : kInputWaiting;
    }
    return kInputWaiting; // close, fileno, an extension's own method
}

} // namespace zelt_io
