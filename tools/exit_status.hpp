// exit_status.hpp: what the last call found, as zelt-io's --status tells it.
#pragma once

#include <zelt.h> // zl_value

#include <string> // the call's name

namespace zelt_io {

// The statuses beside 1 (a call raised) and 2 (usage).
constexpr int kInputWaiting = 0; // or a call that tells nothing of input
constexpr int kEndOfStream = 3;
constexpr int kLimitPassed = 124; // as a command that timed out
constexpr int kReaderGone = 32;   // a write would fail: EPIPE's number

// The status for call NAME (with or without arguments, HAS_ARGS) on IO that
// returned RESULT. A result that says "nothing waiting" is told apart from
// the end of the stream with eof?, asked only when the stream polls
// readable, so that it never waits. Where the kernel will not count the
// stream's bytes (/dev/null, /dev/zero, a hung-up terminal), "nothing" says
// only that it could not count, and the status is what eof? finds: the end,
// or input waiting. On a regular file, whose count may say nothing (proc,
// sysfs), eof? tells whatever the result. A listening socket that polls
// readable has a connection waiting. On the output side: writable (0), it
// would wait (124), or the reader has gone or the peer hung up (32). Raises
// what eof? raises.
int exit_status(const std::string &name, bool has_args, zl_value result, zl_value io);

// The status for a wait on IO that raised ERR, when the raise is the
// kernel refusing to count the stream's bytes after the stream polled
// readable (or the limit passed): what the stream holds, as above. -1 when
// the raise is anything else, which stays an error.
int status_of_refused_count(int err, zl_value io);

// The status of IO, one of the streams a wait on several answered: what
// nread finds there, then as above (a stream at its end is answered too,
// as a read would not wait there). Raises what nread or eof? raise, but
// where the kernel will not count the stream's bytes.
int status_of_answered(zl_value io);

} // namespace zelt_io
