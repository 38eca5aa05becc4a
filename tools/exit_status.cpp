// exit_status.cpp: the last call's result read as input, nothing, or the end.
#include "exit_status.hpp"

#include <zelt/embed.hpp> // call, io_fd, is_string, string_value, integer_value

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

} // namespace

int exit_status(const std::string &name, bool has_args, zl_value result, zl_value io) {
    if (name == "wait") return result == ZL_NIL ? nothing_or_end(io) : kInputWaiting;
    if (name == "ready?") return result == ZL_TRUE ? kInputWaiting : nothing_or_end(io);
    if (name == "nread")
        return zelt::is_integer(result) && zelt::integer_value(result) > 0 ? kInputWaiting
                                                                           : nothing_or_end(io);
    if (name == "eof?") return result == ZL_TRUE ? kEndOfStream : kInputWaiting;
    if (name == "gets" || name == "read") {
        if (result == ZL_NIL) return kEndOfStream;
        const bool all = name == "read" && !has_args; // read takes all there is, "" at the end
        return all && zelt::string_value(result).empty() ? kEndOfStream : kInputWaiting;
    }
    return kInputWaiting; // close, fileno, an extension's own method
}

} // namespace zelt_io
