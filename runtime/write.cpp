// write.cpp: the runtime's writes on IO objects, and their write buffer.
//
// The write buffer. A writer (write, flush, sync=, a close's flush) holds
// the stream's writer's turn for its whole call, waits included; only the
// turn's holder changes wbuf and wlen, so it reads them without more, and it
// publishes wlen in `held` for any thread. The writer's turn is not the
// reader's: a read and a write on one socket never wait for each other.
// - Buffered (sync false): a write that fits joins the buffer, with no
//   system call; one that does not first flushes the buffer, then joins the
//   emptied buffer or, as large as the buffer or larger, goes to the kernel
//   itself. Unbuffered (sync true): each write goes to the kernel at once.
//   Terminals and datagram sockets start unbuffered (a prompt shows at once;
//   a datagram per write), every other stream buffered.
// - Giving bytes to the kernel: a write(2) that never waits, then, when the
//   kernel takes none (EAGAIN: full, or a descriptor made non-blocking), the
//   runtime's descriptor wait for POLLOUT, which a close from another thread
//   ends as it ends a blocked read; then again from where the kernel
//   stopped. Sockets send with MSG_DONTWAIT, pipes and FIFOs write with
//   RWF_NOWAIT; terminals, which refuse it, write(2) with the wake signal
//   open, so that a close ends it too (interruptible_write). A short write
//   or EINTR goes on from the first byte not taken: nothing twice, nothing
//   lost. Regular files and block devices write(2) plainly.
// - A failure (EPIPE, EIO, ENOSPC, a close from another thread) raises. The
//   bytes a flush did not get out stay in the buffer, in order, for the
//   next flush; a write that raises has added none of its string to the
//   buffer, and of a string written past the buffer the part the kernel
//   took before the failure is written.
// - SIGPIPE: sockets send with MSG_NOSIGNAL. Pipes and FIFOs block SIGPIPE
//   on the writing thread around the write(2) (the host's disposition is
//   never touched); after EPIPE, or a short write (a reader gone while a
//   write(2) slept: the kernel answers the bytes it took, and raises), the
//   SIGPIPE the write may have raised, aimed at this thread, is taken with
//   sigtimedwait, unless one was pending here before the write, which the
//   host's own mask then keeps, as it was.
// - close: the closing thread takes the writer's turn if it is free and
//   flushes, then closes. A flush that fails still closes the stream and
//   raises the flush's error: the bytes it could not write are dropped (a
//   caller that must keep them flushes before it closes). A close while
//   another thread holds the turn (a writer blocked on a full pipe) does not
//   wait for it: it ends that write, which raises IOError, and the buffer
//   goes with the stream. The object's release flushes what it can.
// - fork: the child starts with an empty write buffer: the bytes written
//   before the fork are the parent's to write, so that neither a child that
//   closes its copy (a fork before exec) nor one that flushes writes them a
//   second time. A turn held by a thread the child does not have is freed
//   there. A fork from a handler that interrupted this thread's own write
//   keeps the buffer as the interrupted write left it.
// - signal handlers: a handler that writes to a stream whose writer's turn
//   its thread holds is refused (EDEADLK); zl_io_write_pending and
//   zl_io_write_room take no lock.
#include "internal.hpp"

#include <cerrno>       // EINTR, EAGAIN, EPIPE, EOPNOTSUPP
#include <csignal>      // sigset_t, sigtimedwait, SIGPIPE
#include <cstring>      // memcpy, memmove
#include <mutex>        // std::lock_guard over the writer's turn
#include <poll.h>       // POLLOUT
#include <pthread.h>    // pthread_sigmask
#include <string>       // the type error's text
#include <sys/ioctl.h>  // ioctl, TCGETS: is it a terminal
#include <sys/socket.h> // send, MSG_NOSIGNAL, MSG_DONTWAIT
#include <sys/stat.h>   // fstat: pipes and FIFOs
#include <sys/uio.h>    // pwritev2, RWF_NOWAIT
#include <termios.h>    // termios: TCGETS's answer
#include <unistd.h>     // write

namespace zelt::rt {
namespace {

constexpr std::size_t kWriteBuffer = 8192; // the write buffer's size

// The record of an open stream that may be written.
Record *writable_record(zl_value self) {
    zl_openfile *rec = zl_io_record(zl_io_taint_check(self));
    zl_io_check_closed(rec);
    zl_io_check_writable(rec);
    return reinterpret_cast<Record *>(rec);
}

void publish_held(Record *r) {
    r->held.store(static_cast<long>(r->wlen), std::memory_order_release);
}

// SIGPIPE blocked on this thread while it lives (pipes and FIFOs): the
// EPIPE of a vanished reader is the caller's error, not the process's end.
class SigpipeHeld {
public:
    explicit SigpipeHeld(bool hold) {
        if (!hold) return;
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        sigset_t old;
        if (pthread_sigmask(SIG_BLOCK, &pipe_only, &old) != 0) return; // cannot fail: valid args
        held_ = true;
        opened_ = !sigismember(&old, SIGPIPE); // none can be pending here: it would have landed
        if (!opened_) {                        // the host blocks it: was one pending before?
            sigset_t pending;
            pending_before_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
        }
    }
    ~SigpipeHeld() {
        if (!held_) return;
        const int err = errno; // the write's, for its caller
        sigset_t pipe_only;
        sigemptyset(&pipe_only);
        sigaddset(&pipe_only, SIGPIPE);
        if (raised_ && !pending_before_) { // the one our write raised, if it did, and only it
            const timespec none = {0, 0};
            while (sigtimedwait(&pipe_only, nullptr, &none) < 0 && errno == EINTR) {
            }
        }
        if (opened_) pthread_sigmask(SIG_UNBLOCK, &pipe_only, nullptr);
        errno = err;
    }
    SigpipeHeld(const SigpipeHeld &) = delete;
    SigpipeHeld &operator=(const SigpipeHeld &) = delete;
    void may_have_raised() { raised_ = true; }

private:
    bool held_ = false, opened_ = false, pending_before_ = false, raised_ = false;
};

// One write(2) that never waits for room: -1 with EAGAIN where it would.
ssize_t write_now(Record *r, const char *from, std::size_t n) {
    if (r->wsocket) return ::send(r->pub.fd, from, n, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (r->plain_read) return ::write(r->pub.fd, from, n); // a regular file: never waits for room
    SigpipeHeld sigpipe(r->wpipe);
    ssize_t put = -1;
    if (r->wnowait) {
        iovec out = {const_cast<char *>(from), n};
        put = ::pwritev2(r->pub.fd, &out, 1, -1, RWF_NOWAIT);
        if (put < 0 && errno == EOPNOTSUPP) r->wnowait = false; // not for this kind of file
    }
    if (!r->wnowait) put = interruptible_write(r, from, n);
    if (put < 0 ? errno == EPIPE : static_cast<std::size_t>(put) < n) // a reader gone mid-write
        sigpipe.may_have_raised(); // raises SIGPIPE with the count of what went before it
    return put;
}

// Gives N bytes at FROM to the kernel, from *DONE on; *DONE counts what it
// took, so that a failure (raised) tells the caller where it stopped.
void write_out(Record *r, const char *from, std::size_t n, std::size_t *done) {
    while (*done < n) {
        zl_io_check_closed(&r->pub); // a close from another thread ends it
        const ssize_t put = write_now(r, from + *done, n - *done);
        if (put > 0) {
            *done += static_cast<std::size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue; // a signal, or a close's wake: look again
        if (put < 0 && errno != EAGAIN) zl_sys_fail(nullptr);
        if (wait_fd(r->pub.fd, POLLOUT, nullptr, false) < 0) zl_sys_fail(nullptr); // room
    }
}

// The buffer given to the kernel. What it could not write stays, at the
// front, on every way out.
void flush_buffer(Record *r) {
    struct Taken { // the written bytes out of the buffer, however write_out ends
        Record *r;
        std::size_t done = 0;
        ~Taken() {
            if (done == 0) return;
            std::memmove(r->wbuf.data(), r->wbuf.data() + done, r->wlen - done);
            r->wlen -= done;
            publish_held(r);
        }
    } taken{r};
    write_out(r, r->wbuf.data(), r->wlen, &taken.done);
}

void buffer(Record *r, const std::string &s) {
    if (r->wbuf.empty()) r->wbuf.resize(kWriteBuffer); // at the first buffered write
    std::memcpy(r->wbuf.data() + r->wlen, s.data(), s.size());
    r->wlen += s.size();
    publish_held(r);
}

bool is_terminal(int fd) {
    termios t;
    return ::ioctl(fd, TCGETS, &t) == 0;
}

} // namespace

zl_value io_write(zl_value self, zl_value string) {
    Record *r = writable_record(self);
    if (!is_heap_of(string, Type::String))
        raise(eTypeError,
              "wrong argument type " + class_name(class_of(string)) + " (expected String)");
    const std::string &s = as<String>(string)->value;
    std::lock_guard turn(r->wturn);
    const bool buffered = !r->sync.load(std::memory_order_relaxed);
    if (buffered && r->wlen + s.size() <= kWriteBuffer) { // joins the buffer: no system call
        buffer(r, s);
        return integer(static_cast<int64_t>(s.size()));
    }
    if (r->wlen > 0) flush_buffer(r); // raises with none of S taken
    if (buffered && s.size() < kWriteBuffer) {
        buffer(r, s);
    } else {
        std::size_t done = 0;
        write_out(r, s.data(), s.size(), &done);
    }
    return integer(static_cast<int64_t>(s.size()));
}

zl_value io_flush(zl_value self) {
    Record *r = writable_record(self);
    std::lock_guard turn(r->wturn);
    if (r->wlen > 0) flush_buffer(r);
    return self;
}

zl_value io_sync(zl_value self) {
    return zl_bool(writable_record(self)->sync.load(std::memory_order_relaxed));
}

// sync = true flushes first: a write after it never passes a byte before it.
zl_value io_set_sync(zl_value self, zl_value on) {
    Record *r = writable_record(self);
    std::lock_guard turn(r->wturn);
    const bool unbuffered = on != ZL_FALSE && on != ZL_NIL;
    if (unbuffered && r->wlen > 0) flush_buffer(r); // raises: still buffered, bytes kept
    r->sync.store(unbuffered, std::memory_order_relaxed);
    return on;
}

void flush_before_close(Record *r) {
    if (!r->writable || r->closed() || !r->wturn.try_lock())
        return; // another writer: not waited for
    std::lock_guard turn(r->wturn, std::adopt_lock);
    if (r->wlen > 0) flush_buffer(r);
}

void drop_write_buffer(Record *r) { // the last call has left: nobody holds the turn
    std::vector<char> gone;
    gone.swap(r->wbuf);
    r->wlen = 0;
    publish_held(r);
}

void write_buffer_in_child(Record *r) { // only the forking thread is left
    if (r->wturn.held_here()) return;   // a handler's fork inside this thread's write
    if (r->wturn.held_by_other()) r->wturn.reset_in_child();
    r->wlen = 0;
    publish_held(r);
}

void set_write_kind(Record *r, int type) {
    struct stat st;
    const bool fifo = ::fstat(r->pub.fd, &st) == 0 && S_ISFIFO(st.st_mode);
    r->wsocket = type != 0;
    r->wpipe = fifo;
    r->sync.store(type == SOCK_DGRAM || type == SOCK_SEQPACKET || (!type && is_terminal(r->pub.fd)),
                  std::memory_order_relaxed);
}

} // namespace zelt::rt

extern "C" {

long zl_io_write_pending(zl_openfile *record) {
    return reinterpret_cast<zelt::rt::Record *>(record)->held.load(std::memory_order_acquire);
}

long zl_io_write_room(zl_openfile *record) {
    const auto *r = reinterpret_cast<zelt::rt::Record *>(record);
    if (!r->writable || r->closed() || r->sync.load(std::memory_order_relaxed)) return 0;
    return static_cast<long>(zelt::rt::kWriteBuffer) - r->held.load(std::memory_order_acquire);
}

} // extern "C"
