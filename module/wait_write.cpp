// wait_write.cpp: the output side of an IO object: nwrite, writable?,
// wait_writable, and wait_for, a wait for any set of one stream's events.
//
// Each method looks at the interpreter's write buffer first (room in it
// answers "writable" with no system call; bytes in it are on their way out)
// and only then asks the kernel. A write that would fail rather than wait
// (a pipe whose reader has gone polls POLLERR; a socket or terminal whose
// peer hung up, POLLHUP) is told apart from one that would go: writable?
// answers nil for it, wait_writable false. Nothing here allocates, keeps
// state or holds anything across a call that may raise.
#include "time_limit.hpp" // time_limit

#include <zelt.h> // zl_value, the IO checks, zl_wait_for_single_fd, the event words

#include <cerrno>        // errno, ENOTTY
#include <poll.h>        // pollfd, POLLIN, POLLOUT, POLLPRI, POLLERR, POLLHUP
#include <stdint.h>      // uint64_t
#include <sys/ioctl.h>   // ioctl, TIOCOUTQ (SIOCOUTQ on a socket), FIONREAD
#include <sys/stat.h>    // fstat, S_ISFIFO: whose FIONREAD counts what waits to be read
#include <sys/syscall.h> // SYS_ppoll
#include <unistd.h>      // syscall

constexpr int kGone = POLLERR | POLLHUP; // a write would fail, not wait
constexpr long kSigsetBytes = 8;         // the kernel's sigset_t

// An open stream's record, or the interpreter's error.
static zl_openfile *io_open_record(zl_value io) {
    zl_openfile *record = zl_io_record(zl_io_taint_check(io));
    zl_io_check_closed(record); // refuses a missing record too
    return record;
}

// An open, writable stream's record, or the interpreter's error.
static zl_openfile *io_writable_record(zl_value io) {
    zl_openfile *record = io_open_record(io);
    zl_io_check_writable(record);
    return record;
}

// Integer n as 2n+1 for a count of zero or more, below 2^61.
static zl_value count_value(long n) { return static_cast<uint64_t>(n) * 2u + 1u; }

// A pipe's or FIFO's bytes that its reader has not taken: it has no output
// queue (ENOTTY), but its FIONREAD, asked on either end, counts them. A
// regular file's FIONREAD counts from the offset to the end, which is
// nothing on its way out, so a count is a FIFO's only. Apart, so that a
// socket's answer sets up no frame for it.
[[gnu::cold, gnu::noinline]] static long pipe_queued(int fd) {
    int queued; // the kernel's, when it answers
    if (errno != ENOTTY || ioctl(fd, FIONREAD, &queued) != 0 || queued <= 0) return 0;
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode) ? queued : 0;
}

// Bytes the kernel still holds on their way out of FD; 0 when it will not
// say. Sockets (SIOCOUTQ) and terminals (TIOCOUTQ) share one request.
[[gnu::noinline]] static long kernel_queued(int fd) {
    int queued; // the kernel's, when it answers
    if (ioctl(fd, TIOCOUTQ, &queued) == 0) [[likely]]
        return queued > 0 ? queued : 0;
    return pipe_queued(fd);
}

// One look at FD for EVENTS, with no wait: the system call itself, as the
// runtime's wait(0) makes it. The kernel's revents, 0 for none; below 0 when
// it fails, cause in errno (with a stream open in this call, it never does).
[[gnu::noinline]] static int kernel_poll(int fd, int events) {
    pollfd pfd; // revents: the kernel's, read only when it answered
    pfd.fd = fd;
    pfd.events = static_cast<short>(events);
    struct timespec zero = {0, 0}; // writable: an emulated ppoll writes the limit back
    const long ready = syscall(SYS_ppoll, &pfd, 1, &zero, nullptr, kSigsetBytes);
    if (ready > 0) [[likely]]
        return pfd.revents;
    return static_cast<int>(ready);
}

// wait_writable's answer for what the kernel reported: nil for nothing (the
// limit passed), false when a write would fail, else the receiver.
static zl_value writable_answer(int revents, zl_value io) {
    if (revents == 0) return ZL_NIL;
    if (revents & kGone) return ZL_FALSE; // the reader has gone, or the peer hung up
    return io;
}

// The events of EVENTS that RECORD's buffers answer: input held for
// readable, room for writable. No system call.
static int buffered_events(zl_openfile *record, int events) {
    int found = 0;
    if ((events & POLLIN) && zl_io_read_pending(record) > 0) found |= POLLIN;
    if ((events & POLLOUT) && zl_io_write_room(record) > 0) found |= POLLOUT;
    return found;
}

static zl_value io_nwrite(zl_value io) {
    zl_openfile *record = io_writable_record(io);
    return count_value(zl_io_write_pending(record) + kernel_queued(record->fd));
}

static zl_value io_writable_p(zl_value io) {
    zl_openfile *record = io_writable_record(io);
    if (zl_io_write_room(record) > 0) return ZL_TRUE;
    const int revents = kernel_poll(record->fd, POLLOUT);
    if (revents < 0 || (revents & kGone)) return ZL_NIL; // it would fail, not wait, or cannot tell
    return zl_bool(revents & POLLOUT);
}

static zl_value io_wait_writable(int argc, const zl_value *argv, zl_value io) {
    zl_openfile *record = io_writable_record(io);
    zl_value limit; // the scan stores nil when it is omitted
    zl_scan_args(argc, argv, "01", &limit);
    struct timeval interval;
    struct timeval *const until = time_limit(limit, &interval); // null: no limit
    if (zl_io_write_room(record) > 0) return ZL_TRUE; // as wait answers its buffer: no system call
    // A zero limit: one look, which never sleeps, so no close has a wait to
    // end, and the descriptor stays this stream's while the call lasts.
    if (until && (until->tv_sec | until->tv_usec) == 0) {
        const int revents = kernel_poll(record->fd, POLLOUT);
        if (revents < 0) zl_sys_fail(nullptr);
        return writable_answer(revents, io);
    }
    const int revents = zl_wait_for_single_fd(record->fd, POLLOUT, until);
    if (revents < 0) zl_sys_fail(nullptr);
    zl_io_check_closed(record); // a close from another thread ends the wait
    return writable_answer(revents, io);
}

static zl_value io_wait_for(int argc, const zl_value *argv, zl_value io) {
    zl_openfile *record = io_open_record(io);
    zl_value words, limit; // the scan stores nil for an omitted limit
    zl_scan_args(argc, argv, "11", &words, &limit);
    const int events = zl_io_events(words); // refuses what is no event word
    if (events & (POLLIN | POLLPRI)) zl_io_check_readable(record);
    if (events & POLLOUT) zl_io_check_writable(record);
    struct timeval interval;
    struct timeval *const until = time_limit(limit, &interval); // null: no limit
    int found = buffered_events(record, events);
    if (found != 0) return zl_io_event_words(found); // no system call
    found = zl_wait_for_single_fd(record->fd, events, until);
    if (found < 0) zl_sys_fail(nullptr);
    zl_io_check_closed(record);
    if (found == 0) found = buffered_events(record, events); // another thread's read
    return found != 0 ? zl_io_event_words(found) : ZL_NIL;
}

static const struct {
    const char *name;
    zl_func fn;
    int arity;
} io_methods[] = {
    {"nwrite", ZL_FUNC(io_nwrite), 0},
    {"writable?", ZL_FUNC(io_writable_p), 0},
    {"wait_writable", ZL_FUNC(io_wait_writable), -1},
    {"wait_for", ZL_FUNC(io_wait_for), -1},
};

ZL_INIT(wait_write) {
    for (const auto &m : io_methods) zl_define_method(zl_cIO, m.name, m.fn, m.arity);
}
