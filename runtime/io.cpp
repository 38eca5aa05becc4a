// io.cpp: IO objects over real descriptors, their read buffer and their close.
//
// The read buffer. A reader (gets, read) holds the stream's turn for its
// whole call, waits included; only the turn's holder changes buf, pos and
// end, so it reads them without more. Each change is made under buf_lock,
// which is held for a few stores or a copy: memory is allocated before it is
// taken and freed after, and no system call is made under it (the read(2)
// fills bytes past `end`, which the holder then counts under the lock).
// - fork: prepare takes every stream's buf_lock (fork.cpp), so the child
//   sees each buffer between two changes; a turn held by a thread the child
//   does not have is freed there, its holder having been outside every change.
// - close: the last call to leave a closed stream releases it; the release
//   gives the read-ahead back and drops the buffer (drop_buffer). A reader
//   still inside holds a call on the stream, so both wait until it has left.
// - signal handlers: a handler that calls gets or read on a stream whose
//   turn its thread holds is refused (EDEADLK); nread, ready? and wait take
//   no lock.
//
// Reads go ahead a chunk at a time unless the stream is read exactly
// (io_set_read_ahead): then a read takes no byte past its call's, so that a
// later reader of the open file (a shell's next command) gets the rest. A
// seekable stream keeps reading ahead and, once closed, gives back what it
// read and did not hand out, if the offset is still where its last read
// left it (give_back): a dup or a fork's other side may have read since.
//
// A read of a datagram or seqpacket socket takes one datagram and the kernel
// drops what does not fit, so its room reaches past the buffer into a
// mapping as large as any read (read_datagram).
//
// eof? counts a regular file by its size, unless its file system makes the
// content up as it is read (proc, sysfs): there it reads, as on a stream
// the kernel cannot count.
#include "internal.hpp"
#include "test_hooks/test_hooks.hpp" // read_buffer_capacity

#include <algorithm>     // std::min
#include <cerrno>        // EINTR, EAGAIN, EOPNOTSUPP
#include <climits>       // INT_MAX
#include <cstdint>       // SIZE_MAX: a read with no budget
#include <cstring>       // memchr, memmove, memcpy
#include <fcntl.h>       // fcntl, O_ACCMODE
#include <linux/magic.h> // PROC_SUPER_MAGIC and the others: files whose size is no length
#include <mutex>         // std::lock_guard over the turn and the buffer's lock
#include <poll.h>        // POLLIN
#include <sys/ioctl.h>   // ioctl, FIONREAD: eof? without taking input
#include <sys/mman.h>    // mmap, munmap, madvise: a datagram's overflow room
#include <sys/socket.h>  // recv, recvmsg, MSG_PEEK, MSG_TRUNC, getsockopt
#include <sys/stat.h>    // fstat: regular files read without waiting, and their size
#include <sys/statfs.h>  // fstatfs: the file system a regular file is on
#include <sys/uio.h>     // preadv2, RWF_NOWAIT
#include <unistd.h>      // read, lseek

namespace zelt {
namespace rt {
namespace {

constexpr std::size_t kChunk = 8192;            // read-ahead size
constexpr std::size_t kKeepAtMost = 4 * kChunk; // a buffer grown past this is given back
// A datagram's room past the buffer: with it, one read holds as much as the
// kernel lets any read return (it cuts a read's room to just under 2 GiB),
// so no datagram a socket can queue is ever cut.
constexpr std::size_t kOverflow = std::size_t{1} << 31;

Record *record_of(zl_value io) { return reinterpret_cast<Record *>(zl_io_record(io)); }

// The record of an open stream that may be read.
Record *readable_record(zl_value self) {
    zl_openfile *rec = zl_io_record(zl_io_taint_check(self));
    zl_io_check_closed(rec);
    zl_io_check_readable(rec);
    return reinterpret_cast<Record *>(rec);
}

// The unread count, as the int the interface reports: past INT_MAX it stays
// there rather than wrapping negative.
void publish_pending(Record *r, std::memory_order order = std::memory_order_release) {
    std::size_t unread = std::min<std::size_t>(r->end - r->pos, INT_MAX);
    r->pending.store(static_cast<int>(unread), order);
}

// Hand out LEN buffered bytes as a String. A buffer grown for a long line
// shrinks back to one chunk once what is left fits in one: the memory goes
// back to the system, not only the count back to zero.
zl_value take(Record *r, std::size_t len) {
    zl_value s = str(std::string_view(r->buf.data() + r->pos, len)); // the turn keeps them
    const std::size_t unread = r->end - r->pos - len;
    std::vector<char> small; // allocated here, freed past the lock
    if (r->buf.capacity() > kKeepAtMost && unread <= kChunk) small.resize(kChunk);
    std::lock_guard lock(r->buf_lock);
    r->pos += len;
    if (!small.empty()) {
        std::memcpy(small.data(), r->buf.data() + r->pos, unread);
        r->buf.swap(small); // the large one is freed as `small` goes
        r->pos = 0;
        r->end = unread;
    }
    publish_pending(r);
    return s;
}

// read(2) that never waits for input: a wait comes first, and another reader
// of the same open file (a dup, a child) may have taken the bytes since.
// Pipes and sockets refuse per call (RWF_NOWAIT); regular files never wait;
// terminals and FIFOs read with the wake signal open, so a close ends it. The
// open file's own flags are not touched: other processes share them.
ssize_t read_now(Record *r, char *to, std::size_t n) {
    if (r->plain_read) return ::read(r->pub.fd, to, n);
    if (r->nowait) {
        iovec into = {to, n};
        ssize_t got = ::preadv2(r->pub.fd, &into, 1, -1, RWF_NOWAIT);
        if (got >= 0 || errno != EOPNOTSUPP) return got;
        r->nowait = false; // the kernel cannot do it for this kind of file
    }
    return interruptible_read(r, to, n);
}

// The unread bytes moved to the front, with room for ROOM bytes after them; a
// larger buffer is allocated before the lock and the old one freed after it.
void make_room(Record *r, std::size_t room = kChunk) {
    const std::size_t unread = r->end - r->pos;
    std::vector<char> grown; // allocated here, freed past the lock
    if (r->buf.size() - unread < room) grown.resize(std::max(r->buf.size() * 2, unread + room));
    if (grown.empty() && r->pos == 0) return; // room enough where it is
    std::lock_guard lock(r->buf_lock);
    if (!grown.empty()) {
        if (unread) std::memcpy(grown.data(), r->buf.data() + r->pos, unread); // none at first
        r->buf.swap(grown);
    } else if (r->pos > 0) { // keep the unread bytes at the front
        std::memmove(r->buf.data(), r->buf.data() + r->pos, unread);
    }
    r->pos = 0;
    r->end = unread;
}

// One datagram, whole whatever its length, into the buffer's free room
// (make_room has put the unread bytes at the front): a read takes one
// datagram and drops what does not fit, so what the room cannot hold lands
// in the overflow, a mapping that costs no memory until a datagram reaches
// into it, and moves into a grown buffer from there. One read, no peek
// first: another reader of the socket can take nothing in between.
ssize_t read_datagram(Record *r) {
    if (!r->overflow) {
        void *m = ::mmap(nullptr, kOverflow, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (m == MAP_FAILED) zl_sys_fail("a datagram's room");
        r->overflow = static_cast<char *>(m);
    }
    const std::size_t room = r->buf.size() - r->end;
    iovec into[2] = {{r->buf.data() + r->end, room}, {r->overflow, kOverflow}};
    msghdr m{};
    m.msg_iov = into;
    m.msg_iovlen = 2;
    const ssize_t got = ::recvmsg(r->pub.fd, &m, MSG_DONTWAIT);
    if (got < 0) return got;
    if (m.msg_flags & MSG_TRUNC) { // past what any read returns: said, not dropped unsaid
        errno = EMSGSIZE;
        zl_sys_fail("a datagram longer than one read can take");
    }
    if (static_cast<std::size_t>(got) <= room) return got;
    const std::size_t tail = static_cast<std::size_t>(got) - room;
    std::vector<char> grown(r->buf.size() + tail); // allocated here, the old freed past the lock
    std::memcpy(grown.data(), r->buf.data(), r->buf.size());
    std::memcpy(grown.data() + r->buf.size(), r->overflow, tail);
    {
        std::lock_guard lock(r->buf_lock);
        r->buf.swap(grown);
    }
    ::madvise(r->overflow, tail, MADV_DONTNEED); // its pages back to the system
    return got;
}

// A seekable stream's read of GOT bytes from offset AT (-1: unknown): where
// the buffer now ends in the file, and how much of it this process read.
void note_file_read(Record *r, off_t at, std::size_t got) {
    if (r->own_gen != fork_generation) { // the first read since a fork: what came before is
        r->own_gen = fork_generation;    // the other side's too
        r->own = 0;
    }
    r->own += got;
    r->file_end = at < 0 ? -1 : at + static_cast<off_t>(got);
}

// Read one more chunk into the buffer, waiting for it the way any caller
// waits, so that a close from another thread ends the read. False at EOF.
// MOST caps the read: a stream read exactly takes no byte past its call's
// (a datagram socket never is: exact_step).
bool fill(Record *r, std::size_t most = SIZE_MAX) {
    make_room(r);
    for (;;) {
        if (wait_fd(r->pub.fd, POLLIN, nullptr, false) < 0) zl_sys_fail(nullptr);
        zl_io_check_closed(&r->pub);
        const off_t at = r->plain_read ? ::lseek(r->pub.fd, 0, SEEK_CUR) : -1; // where it reads
        ssize_t got = r->datagrams ? read_datagram(r)
                                   : read_now(r, r->buf.data() + r->end,
                                              std::min(r->buf.size() - r->end, most));
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue; // taken or woken: wait again
        if (got < 0) zl_sys_fail(nullptr);
        if (r->plain_read) note_file_read(r, at, static_cast<std::size_t>(got));
        {
            std::lock_guard lock(r->buf_lock);
            r->end += static_cast<std::size_t>(got);
            publish_pending(r, std::memory_order_seq_cst); // then look for sleepers
        }
        if (got > 0 && (r->sleepers.load(std::memory_order_seq_cst) > 0 ||
                        set_sleepers.load(std::memory_order_seq_cst) > 0 || // waits on several
                        r->selected.load(std::memory_order_seq_cst) > 0))   // selectors hold it
            wake_sleepers(r);
        return got > 0;
    }
}

// How much the next fill for a line may take: all it can, or, read exactly,
// one byte, or on a stream socket up to the newline that a peek finds.
std::size_t line_budget(Record *r) {
    if (r->step != ReadStep::Peek) return r->step == ReadStep::Ahead ? SIZE_MAX : 1;
    char peeked[kChunk];
    const ssize_t got = ::recv(r->pub.fd, peeked, sizeof peeked, MSG_PEEK | MSG_DONTWAIT);
    if (got <= 0) return 1; // nothing yet, or the end: the fill waits and tells
    const void *nl = std::memchr(peeked, '\n', static_cast<std::size_t>(got));
    return nl ? static_cast<std::size_t>(static_cast<const char *>(nl) - peeked) + 1
              : static_cast<std::size_t>(got);
}

zl_value io_gets(zl_value self) {
    Record *r = readable_record(self);
    std::lock_guard turn(r->turn);
    std::size_t scanned = 0; // bytes after pos known to hold no newline
    for (;;) {
        const char *from = r->buf.data() + r->pos; // null before the first read
        const std::size_t unscanned = r->end - r->pos - scanned;
        const void *nl = unscanned ? std::memchr(from + scanned, '\n', unscanned) : nullptr;
        if (nl) return take(r, static_cast<const char *>(nl) - from + 1);
        scanned = r->end - r->pos;
        if (!fill(r, line_budget(r))) return scanned ? take(r, scanned) : ZL_NIL;
    }
}

// read: all that is left; read(n): up to n bytes, nil at the end.
zl_value io_read(int argc, const zl_value *argv, zl_value self) {
    Record *r = readable_record(self);
    zl_value length = ZL_NIL;
    zl_scan_args(argc, argv, "01", &length);
    const bool all = length == ZL_NIL;
    int64_t want = all ? 0 : integer_value(length);
    if (want < 0) raise(eArgumentError, "negative length " + std::to_string(want) + " given");
    std::lock_guard turn(r->turn);
    auto budget = [&] { // read exactly: no more than the bytes still wanted
        return all || r->step == ReadStep::Ahead
                   ? SIZE_MAX
                   : static_cast<std::size_t>(want) - (r->end - r->pos);
    };
    while ((all || r->end - r->pos < static_cast<uint64_t>(want)) && fill(r, budget())) {
    }
    std::size_t have = r->end - r->pos;
    if (!all && want > 0 && have == 0) return ZL_NIL;
    return take(r, all ? have : std::min(have, static_cast<std::size_t>(want)));
}

// A file system whose files' sizes are no count of their bytes: a proc or
// sysfs file says 0 or a page whatever it holds, and the others alike.
bool sizes_say_nothing(int fd) {
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return true; // unknown: reading is right anywhere
    switch (fs.f_type) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case FUSE_SUPER_MAGIC: // its server says what it likes (a size of 0 for made-up text)
        return true;
    default: return false;
    }
}

// eof? on a regular file whose size is its length: the offset against the
// size, in 64 bits, under the turn so that no read moves the offset between
// the buffer's look and the count. An empty file is read: a size of 0 tells
// nothing where a file system makes its content up as it is read.
enum class Count { End, Input, Unknown };
Count count_file(Record *r) {
    std::lock_guard turn(r->turn);
    if (r->end > r->pos) return Count::Input;
    struct stat st;
    if (::fstat(r->pub.fd, &st) != 0) zl_sys_fail(nullptr);
    if (st.st_size == 0) return Count::Unknown;
    const off_t at = ::lseek(r->pub.fd, 0, SEEK_CUR);
    if (at < 0) zl_sys_fail(nullptr);
    return at >= st.st_size ? Count::End : Count::Input;
}

// eof?: true at the end of the stream, false when input is waiting; waits
// until it can tell. A regular file that counts (its size is its length) is
// counted; elsewhere, where the kernel counts a stream's bytes (pipes,
// sockets, terminals), it takes no input: a stream that polls readable with
// none to count is at its end. Where nothing counts (/dev/null, a proc or
// sysfs file), it reads, as little as the stream's mode allows, into the buffer.
zl_value io_eof_p(zl_value self) {
    Record *r = readable_record(self);
    for (;;) {
        if (r->pending.load(std::memory_order_acquire) > 0) return ZL_FALSE;
        if (r->sized)
            if (const Count c = count_file(r); c != Count::Unknown) return zl_bool(c == Count::End);
        const int ready = wait_fd(r->pub.fd, POLLIN, nullptr, true);
        if (ready < 0) zl_sys_fail(nullptr);
        zl_io_check_closed(&r->pub); // a close from another thread ends the wait
        if (ready == 0) continue;    // another thread's read filled the buffer
        int count = 0;               // a file's count is cut to 32 bits, and may say nothing
        if (!r->plain_read && ::ioctl(r->pub.fd, FIONREAD, &count) == 0 && count >= 0)
            return zl_bool(count == 0);
        std::lock_guard turn(r->turn);
        return zl_bool(r->end == r->pos && !fill(r, r->step == ReadStep::Ahead ? SIZE_MAX : 1));
    }
}

// A seekable stream gives back the read-ahead that this process read and no
// call handed out: the offset returns to where the calls stopped reading,
// for whoever reads the open file next, as an input stream's close does in
// C. Only while the offset is still where this stream's last read left it:
// another reader of the open file (a dup, the other side of a fork) that
// read since owns what follows, so nothing is read twice. Made as the last
// call on the closed stream leaves (drop_buffer): no call of this stream
// reads meanwhile. Read-ahead a fork child inherited is the parent's; the
// child gives back only what it read itself. A failed seek leaves the
// offset as it was.
// The seek is relative, and its result tells the offset it moved from: a
// read by another reader that landed between the look and the seek is seen,
// and the seek undone.
void give_back(Record *r, std::size_t unread) {
    if (!r->plain_read || r->file_end < 0 || r->own_gen != fork_generation) return;
    const auto back = static_cast<off_t>(std::min(unread, r->own));
    if (back == 0 || ::lseek(r->pub.fd, 0, SEEK_CUR) != r->file_end) return;
    const off_t at = ::lseek(r->pub.fd, -back, SEEK_CUR);
    if (at >= 0 && at != r->file_end - back) ::lseek(r->pub.fd, back, SEEK_CUR);
}

// Flushes, then closes: closed even when the flush raises (write.cpp).
zl_value io_close(zl_value self) {
    struct Closing { // on every way out of the flush
        Record *r;
        ~Closing() { close_record(r); }
    } closing{record_of(zl_io_taint_check(self))};
    flush_before_close(closing.r);
    return ZL_NIL;
}

zl_value io_closed_p(zl_value self) {
    return zl_bool(record_of(zl_io_taint_check(self))->closed());
}

zl_value io_fileno(zl_value self) {
    zl_openfile *rec = zl_io_record(zl_io_taint_check(self));
    zl_io_check_closed(rec);
    return integer(rec->fd);
}

} // namespace

void not_an_io(zl_value v) {
    std::string what =
        is_heap(v) || v <= ZL_NIL || (v & 1u) ? class_name(class_of(v)) : "an invalid value";
    raise(eTypeError, "wrong argument type " + what + " (expected IO)");
}

void close_for_release(Record *r) { // a release raises nothing: a failed flush's bytes go
    if (r->selected.load() > 0) selectors_forget(r); // no selector answers it now
    try {
        flush_before_close(r);
    } catch (const Error &) {
    }
    close_record(r);
}

void drop_buffer(Record *r) {
    give_back(r, r->end - r->pos); // no call is on the stream: nobody changes them meanwhile
    std::vector<char> gone;        // freed past the lock
    {
        std::lock_guard lock(r->buf_lock);
        gone.swap(r->buf);
        r->pos = r->end = 0;
        r->pending.store(0, std::memory_order_relaxed);
    }
    if (r->overflow) ::munmap(r->overflow, kOverflow);
    r->overflow = nullptr;
    drop_write_buffer(r);
}

void define_io_methods() {
    static const struct {
        const char *name;
        zl_func fn;
        int arity;
    } methods[] = {
        {"gets", ZL_FUNC(io_gets), 0},     {"read", ZL_FUNC(io_read), -1},
        {"close", ZL_FUNC(io_close), 0},   {"closed?", ZL_FUNC(io_closed_p), 0},
        {"fileno", ZL_FUNC(io_fileno), 0}, {"eof?", ZL_FUNC(io_eof_p), 0},
        {"write", ZL_FUNC(io_write), 1},   {"flush", ZL_FUNC(io_flush), 0},
        {"sync", ZL_FUNC(io_sync), 0},     {"sync=", ZL_FUNC(io_set_sync), 1},
    };
    for (const auto &m : methods) zl_define_method(zl_cIO, m.name, m.fn, m.arity);
}

} // namespace rt

using namespace rt;

namespace {
// The socket type of FD, or 0 when it is no socket.
int socket_type(int fd) {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 ? type : 0;
}
} // namespace

zl_value io_new(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) zl_sys_fail(("fd " + std::to_string(fd)).c_str());
    struct stat st;
    if (fstat(fd, &st) < 0) zl_sys_fail(("fd " + std::to_string(fd)).c_str());
    auto *block = new IoObject;
    Record *r = &block->record;
    r->pub.fd = fd;
    r->plain_read = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
    r->sized = S_ISREG(st.st_mode) && !sizes_say_nothing(fd);
    const int type = S_ISSOCK(st.st_mode) ? socket_type(fd) : 0; // asked once: reads consult it
    r->datagrams = type == SOCK_DGRAM || type == SOCK_SEQPACKET;
    const int access = flags & O_ACCMODE;
    r->readable = !(flags & O_PATH) && (access == O_RDONLY || access == O_RDWR);
    r->writable = !(flags & O_PATH) && (access == O_WRONLY || access == O_RDWR);
    if (r->writable) set_write_kind(r, type);
    block->io = {{static_cast<zl_value>(Type::IO), zl_cIO}, &r->pub};
    return track(&block->io.header);
}

int io_fd(zl_value io) {
    Record *r = record_of(zl_io_taint_check(io));
    return r->released.load() ? -1 : r->pub.fd;
}

bool io_closed(zl_value io) { return record_of(zl_io_taint_check(io))->closed(); }

namespace {
// How a stream read exactly goes: a seekable stream reads ahead and seeks
// back at its close; a read of a datagram takes all of it whatever it asks,
// and a shorter one would drop the rest, so datagrams are read whole.
ReadStep exact_step(Record *r) {
    if (r->plain_read || r->datagrams) return ReadStep::Ahead;
    return socket_type(r->pub.fd) == SOCK_STREAM ? ReadStep::Peek : ReadStep::Byte;
}
} // namespace

void io_set_read_ahead(zl_value io, bool on) {
    Record *r = record_of(zl_io_taint_check(io));
    std::lock_guard turn(r->turn); // no read of it runs meanwhile
    r->step = on ? ReadStep::Ahead : exact_step(r);
}

std::size_t test_hooks::read_buffer_capacity(zl_value io) {
    Record *r = record_of(zl_io_taint_check(io));
    IoCall call(r);                    // no release drops it meanwhile
    std::lock_guard lock(r->buf_lock); // no read resizes it meanwhile
    return r->buf.capacity();
}

} // namespace zelt

namespace {
// The checks' failures, out of line and reached by a jump: each check is a
// test and a return, with no frame and no string built on its way. Declared
// as returning (and hidden from the optimiser's analysis, which would find
// out), so that each check ends in a tail call; they never return.
#if defined(__clang__)
#define ZL_FAILURE [[gnu::cold, gnu::noinline]] // clang has no noipa
#else
#define ZL_FAILURE [[gnu::cold, gnu::noipa]]
#endif
ZL_FAILURE zl_value wrong_type(zl_value v) { zelt::rt::not_an_io(v); }
ZL_FAILURE void uninitialized_stream() {
    zelt::rt::raise(zelt::rt::eIOError, "uninitialized stream");
}
ZL_FAILURE void closed_stream() { zelt::rt::raise(zelt::rt::eIOError, "closed stream"); }
ZL_FAILURE void not_readable() { zelt::rt::raise(zelt::rt::eIOError, "not opened for reading"); }
ZL_FAILURE void not_writable() { zelt::rt::raise(zelt::rt::eIOError, "not opened for writing"); }
} // namespace

extern "C" {

[[gnu::hot]] zl_value zl_io_taint_check(zl_value io) {
    if (!zelt::rt::is_heap_of(io, zelt::rt::Type::IO)) [[unlikely]]
        return wrong_type(io);
    return io;
}

[[gnu::hot]] void zl_io_check_closed(zl_openfile *record) {
    if (!record) [[unlikely]]
        return uninitialized_stream();
    if (reinterpret_cast<zelt::rt::Record *>(record)->closed()) [[unlikely]]
        return closed_stream();
}

[[gnu::hot]] void zl_io_check_readable(zl_openfile *record) {
    if (!reinterpret_cast<zelt::rt::Record *>(record)->readable) [[unlikely]]
        return not_readable();
}

[[gnu::hot]] int zl_io_read_pending(zl_openfile *record) {
    return reinterpret_cast<zelt::rt::Record *>(record)->pending.load(std::memory_order_acquire);
}

[[gnu::hot]] void zl_io_check_writable(zl_openfile *record) {
    if (!reinterpret_cast<zelt::rt::Record *>(record)->writable) [[unlikely]]
        return not_writable();
}

} // extern "C"
