// write_test.cpp: write, flush, sync and close's flush on real kernel objects:
// what is buffered and when it reaches the kernel, full pipes and sockets,
// short writes, EAGAIN, EINTR, a reader that went away, fork, bad arguments.
#include <kernel.hpp>     // make_pipe, make_socketpair, make_pty, make_fifo, Io, Fd
#include <raised.hpp>     // Raised, raised_by
#include <zelt.h>         // zl_io_write_pending, zl_io_write_room, zl_io_record
#include <zelt/embed.hpp> // call, str, integer, Error

#include <atomic>           // the readers' totals
#include <cerrno>           // EPIPE
#include <csignal>          // sigaction, pthread_kill, sigpending
#include <cstring>          // strerror
#include <fcntl.h>          // fcntl, F_SETPIPE_SZ, O_NONBLOCK
#include <future>           // writers and readers on threads of their own
#include <gtest/gtest.h>    // TEST, TEST_P
#include <in_syscall.hpp>   // blocks_in: a writer asleep in the kernel
#include <string>           // payloads
#include <sys/ioctl.h>      // FIONREAD
#include <sys/mman.h>       // memfd_create: a regular file open for writing
#include <sys/resource.h>   // setrlimit: a file size limit, a failure that passes
#include <sys/socket.h>     // setsockopt, SO_SNDBUF
#include <sys/wait.h>       // waitpid
#include <syscall_seen.hpp> // ppoll_seen, write_seen, pipe_writer_seen: calls as /proc shows them
#include <thread>           // readers draining
#include <unistd.h>         // read, fork, gettid

namespace write_test {
namespace {

using namespace std::chrono_literals;

using rt_test::Raised;
using rt_test::raised_by;

long pending(zl_value io) { return zl_io_write_pending(zl_io_record(io)); }
long room(zl_value io) { return zl_io_write_room(zl_io_record(io)); }

int64_t write(zl_value io, const std::string &s) {
    zt::Held string(zelt::str(s));
    return zelt::integer_value(zelt::call(io, "write", {string}));
}

int kernel_bytes(int fd) {
    int n = -1;
    ::ioctl(fd, FIONREAD, &n);
    return n;
}

// N bytes from FD (fewer at its end), then nothing more waiting there: a
// terminal's controller gets a write's bytes a moment after the write.
std::string read_exact(int fd, std::size_t n) {
    std::string got;
    char chunk[65536];
    while (got.size() < n) {
        const ssize_t r = ::read(fd, chunk, std::min(sizeof chunk, n - got.size()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got.append(chunk, static_cast<std::size_t>(r));
    }
    EXPECT_EQ(kernel_bytes(fd), 0) << "more than expected";
    return got;
}

// Reads FD to its end (or LIMIT bytes) on a thread of its own.
std::future<std::string> drain(int fd, std::size_t limit = SIZE_MAX) {
    return std::async(std::launch::async, [fd, limit] {
        std::string got;
        char chunk[4096]; // small reads: the writer meets a full pipe again and again
        while (got.size() < limit) {
            const ssize_t r = ::read(fd, chunk, std::min(sizeof chunk, limit - got.size()));
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got.append(chunk, static_cast<std::size_t>(r));
        }
        return got;
    });
}

// Bytes that tell their place: a byte lost, doubled or moved shows.
std::string pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>('a' + (i * 7 + seed + i / 26) % 26);
    return s;
}

// ---- what each kind of stream does with a small write --------------------------------------

struct Kind {
    const char *name;
    zt::Ends (*make)();
    bool sync; // its default
};

void PrintTo(const Kind &k, std::ostream *os) { *os << k.name; }

// The written end is `peer` for each (near for the pty: the terminal side).
const Kind kKinds[] = {
    {"pipe", zt::make_pipe, false}, {"socketpair", zt::make_socketpair, false},
    {"tcp", zt::make_tcp, false},   {"fifo", zt::make_fifo, false},
    {"pty", zt::make_pty, true},
};

class Kinds : public ::testing::TestWithParam<Kind> {};

// For each kind: the end a test writes (W) and the one it reads (R).
struct Sides {
    zt::Fd written, read;
};
Sides sides(const Kind &k) {
    zt::Ends e = k.make();
    if (std::string(k.name) == "pty") return {std::move(e.near), std::move(e.peer)};
    return {std::move(e.peer), std::move(e.near)};
}

TEST_P(Kinds, BufferedWritesWaitForFlushAndUnbufferedGoAtOnce) {
    Sides s = sides(GetParam());
    const int rfd = s.read.get();
    zt::Io io(std::move(s.written));
    EXPECT_EQ(zelt::call(io, "sync"), zl_bool(GetParam().sync)) << "the kind's default";

    zelt::call(io, "sync=", {ZL_FALSE});
    EXPECT_EQ(write(io, "abc"), 3);
    EXPECT_EQ(write(io, ""), 0);
    EXPECT_EQ(write(io, "de"), 2);
    EXPECT_EQ(pending(io), 5);
    EXPECT_EQ(room(io), 8192 - 5);
    EXPECT_EQ(kernel_bytes(rfd), 0) << "a buffered write made a system call";
    EXPECT_EQ(zelt::call(io, "flush"), io.value()) << "flush returns its receiver";
    EXPECT_EQ(pending(io), 0);
    EXPECT_EQ(read_exact(rfd, 5), "abcde");

    EXPECT_EQ(write(io, "held"), 4);
    EXPECT_EQ(zelt::call(io, "sync=", {ZL_TRUE}), ZL_TRUE);
    EXPECT_EQ(pending(io), 0) << "sync = true flushes first";
    EXPECT_EQ(room(io), 0) << "no room in a buffer that is not used";
    EXPECT_EQ(write(io, "now"), 3);
    EXPECT_EQ(read_exact(rfd, 7), "heldnow") << "in order, nothing held";
}

TEST_P(Kinds, CloseFlushesFirst) {
    Sides s = sides(GetParam());
    const int rfd = s.read.get();
    zt::Io io(std::move(s.written));
    zelt::call(io, "sync=", {ZL_FALSE});
    write(io, "last words");
    zelt::call(io, "close");
    EXPECT_EQ(read_exact(rfd, 10), "last words");
    EXPECT_EQ(pending(io), 0);
}

INSTANTIATE_TEST_SUITE_P(Streams, Kinds, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Files, RegularFileAndDevNullTakeWrites) {
    zt::Fd file(::memfd_create("zelt-write", MFD_CLOEXEC));
    ASSERT_GE(file.get(), 0);
    const int fd = ::dup(file.get());
    {
        zt::Io io(std::move(file));
        EXPECT_EQ(zelt::call(io, "sync"), ZL_FALSE);
        write(io, std::string(10000, 'x')); // past the buffer: straight to the file
        write(io, "tail");
        EXPECT_EQ(pending(io), 4);
    } // the release flushes
    EXPECT_EQ(::lseek(fd, 0, SEEK_END), 10004);
    ::close(fd);

    zt::Io null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(write(null, "gone"), 4);
    zelt::call(null, "flush");
    EXPECT_EQ(pending(null), 0);
}

// ---- full pipes and sockets ----------------------------------------------------------------

struct Flow {
    const char *name;
    zt::Ends (*make)();
    bool sync;
    bool nonblocking; // the written descriptor made O_NONBLOCK: EAGAIN, waited through
};

void PrintTo(const Flow &f, std::ostream *os) { *os << f.name; }

const Flow kFlows[] = {
    {"pipe_buffered", zt::make_pipe, false, false},
    {"pipe_sync", zt::make_pipe, true, false},
    {"pipe_nonblocking", zt::make_pipe, true, true},
    {"socket_buffered", zt::make_socketpair, false, false},
    {"socket_nonblocking", zt::make_socketpair, false, true},
    {"tcp_sync", zt::make_tcp, true, false},
};

class Flows : public ::testing::TestWithParam<Flow> {};

// Writes of every size, small ones that join the buffer and large ones past
// it, through a pipe cut to one page and a reader that takes 4 KiB at a time:
// the kernel takes a part of most writes.
TEST_P(Flows, ADrainedStreamGetsEveryByteOnceInOrder) {
    const Flow &f = GetParam();
    zt::Ends e = f.make();
    ::fcntl(e.peer.get(), F_SETPIPE_SZ, 4096); // pipes: a page; sockets refuse it
    const int small = 4096;
    ::setsockopt(e.peer.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small); // pipes refuse it
    if (f.nonblocking) ::fcntl(e.peer.get(), F_SETFL, ::fcntl(e.peer.get(), F_GETFL) | O_NONBLOCK);
    const int rfd = e.near.get();
    std::string sent;
    {
        zt::Io io(std::move(e.peer));
        zelt::call(io, "sync=", {zl_bool(f.sync)});
        auto got = drain(rfd);
        const std::size_t sizes[] = {1, 100, 5000, 8191, 8192, 1 << 20, 3, 70000, 12};
        unsigned seed = 0;
        for (int round = 0; round < 3; ++round)
            for (std::size_t n : sizes) {
                std::string s = pattern(n, seed++);
                EXPECT_EQ(write(io, s), static_cast<int64_t>(n));
                sent += s;
            }
        zelt::call(io, "close");
        const std::string received = got.get();
        ASSERT_EQ(received.size(), sent.size());
        EXPECT_TRUE(received == sent) << "bytes lost, doubled or out of order";
    }
}

INSTANTIATE_TEST_SUITE_P(Full, Flows, ::testing::ValuesIn(kFlows),
                         [](const auto &info) { return std::string(info.param.name); });

// A peer that stops reading: the writer sleeps in the runtime's wait for
// room, and goes on where it stopped once the peer reads again.
TEST(Full, ASocketWhosePeerStopsReadingHoldsTheWriterUntilItReads) {
    zt::Ends e = zt::make_socketpair();
    const int rfd = e.near.get();
    zt::Io io(std::move(e.peer));
    const std::string big = pattern(4 << 20, 1);
    std::atomic<pid_t> tid{0};
    auto writer = std::async(std::launch::async, [&] {
        tid = gettid();
        return write(io, big);
    });
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(tid, zt::ppoll_seen(), 10s)) << "the writer does not wait for room";
    auto got = drain(rfd, big.size());
    EXPECT_EQ(writer.get(), static_cast<int64_t>(big.size()));
    EXPECT_TRUE(got.get() == big);
}

// ---- EINTR -------------------------------------------------------------------------------------

std::atomic<int> interruptions{0};
void count_interruption(int) { interruptions.fetch_add(1); }

// A handler without SA_RESTART interrupts a writer asleep on a full pipe
// (its wait for room) and on a terminal (write(2) itself): the write goes on,
// every byte once.
struct Sleep {
    const char *name;
    zt::Ends (*make)();
    long (*seen)(); // the call it sleeps in, as /proc shows it
    bool terminal;
};
void PrintTo(const Sleep &s, std::ostream *os) { *os << s.name; }
const Sleep kSleeps[] = {
    {"pipe_wait", zt::make_pipe, zt::pipe_writer_seen, false},
    {"pty_write", zt::make_pty, zt::write_seen, true},
};

class Interrupted : public ::testing::TestWithParam<Sleep> {};

TEST_P(Interrupted, SignalsNeitherLoseNorDoubleBytes) {
    const Sleep &sl = GetParam();
    struct sigaction sa {
    }, old{};
    sa.sa_handler = count_interruption;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, &old);
    zt::Ends e = sl.make();
    const bool pty = sl.terminal;
    zt::Fd written = pty ? std::move(e.near) : std::move(e.peer);
    const int rfd = pty ? e.peer.get() : e.near.get();
    const std::string big = pattern(1 << 20, 2);
    {
        zt::Io io(std::move(written));
        zelt::call(io, "sync=", {ZL_TRUE});
        std::atomic<pid_t> tid{0};
        pthread_t thread{};
        auto writer = std::async(std::launch::async, [&] {
            thread = pthread_self();
            tid = gettid();
            return write(io, big);
        });
        while (tid.load() == 0) std::this_thread::yield();
        const int before = interruptions.load();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(zh::blocks_in(tid, sl.seen(), 10s)) << "the writer is not asleep";
            ::pthread_kill(thread, SIGUSR1);
            while (interruptions.load() == before + i) std::this_thread::yield();
        }
        auto got = drain(rfd, big.size());
        EXPECT_EQ(writer.get(), static_cast<int64_t>(big.size()));
        EXPECT_TRUE(got.get() == big) << "a byte lost or written twice";
    }
    ::sigaction(SIGUSR1, &old, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Writers, Interrupted, ::testing::ValuesIn(kSleeps),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- a reader that went away -----------------------------------------------------------------

bool sigpipe_pending() {
    sigset_t set;
    ::sigpending(&set);
    return sigismember(&set, SIGPIPE);
}

struct Gone {
    const char *name;
    zt::Ends (*make)();
};
void PrintTo(const Gone &g, std::ostream *os) { *os << g.name; }
const Gone kGone[] = {
    {"pipe", zt::make_pipe}, {"fifo", zt::make_fifo}, {"socket", zt::make_socketpair}};

class ReaderGone : public ::testing::TestWithParam<Gone> {};

// SIGPIPE keeps its default action (the process's end) throughout: a write
// that let it through would end the test.
TEST_P(ReaderGone, RaisesEpipeKeepsTheBytesAndTheProcessLives) {
    struct sigaction dfl {
    }, old{};
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &dfl, &old);
    zt::Ends e = GetParam().make();
    zt::Io io(std::move(e.peer));
    zelt::call(io, "sync=", {ZL_FALSE});
    EXPECT_EQ(write(io, "kept"), 4);
    e.near.reset();

    Raised r = raised_by([&] { zelt::call(io, "flush"); });
    EXPECT_EQ(r.class_name, "SystemCallError");
    EXPECT_EQ(r.err, EPIPE) << r.message;
    EXPECT_EQ(pending(io), 4) << "a failed flush keeps its bytes";
    EXPECT_FALSE(sigpipe_pending());

    zelt::call(io, "sync=", {ZL_FALSE});
    r = raised_by([&] { write(io, std::string(9000, 'x')); }); // flushes first: fails there
    EXPECT_EQ(r.err, EPIPE);
    EXPECT_EQ(pending(io), 4) << "the failed write added none of its string";

    // close: the flush fails, the stream closes all the same, the error raised
    r = raised_by([&] { zelt::call(io, "close"); });
    EXPECT_EQ(r.err, EPIPE);
    EXPECT_EQ(zelt::call(io, "closed?"), ZL_TRUE);
    EXPECT_EQ(zelt::io_fd(io), -1) << "the descriptor outlived the failed close";
    EXPECT_FALSE(sigpipe_pending());
    ::sigaction(SIGPIPE, &old, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Streams, ReaderGone, ::testing::ValuesIn(kGone),
                         [](const auto &info) { return std::string(info.param.name); });

// The host blocks SIGPIPE and one is pending already: the write's EPIPE
// leaves it pending (one, as before), and takes none that was not there.
TEST(ReaderGone, LeavesTheHostsPendingSigpipeAlone) {
    sigset_t pipe_only, old;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    zt::Ends e = zt::make_pipe();
    zt::Io io(std::move(e.peer));
    zelt::call(io, "sync=", {ZL_TRUE});
    e.near.reset();

    EXPECT_EQ(raised_by([&] { write(io, "x"); }).err, EPIPE);
    EXPECT_FALSE(sigpipe_pending()) << "the write's own SIGPIPE was left behind";

    ::pthread_kill(pthread_self(), SIGPIPE); // the host's own
    ASSERT_TRUE(sigpipe_pending());
    EXPECT_EQ(raised_by([&] { write(io, "x"); }).err, EPIPE);
    EXPECT_TRUE(sigpipe_pending()) << "the host's pending SIGPIPE was taken";
    const timespec none = {0, 0};
    ::sigtimedwait(&pipe_only, nullptr, &none);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// A flush that fails part way keeps the bytes the kernel did not take, and
// only those: a pipe of one page takes 4096 of 6000, then its reader goes,
// while the flush sleeps for room (a pipe) or in write(2) itself (a FIFO,
// where the kernel answers the 4096 and raises SIGPIPE with them).
struct CutShort {
    const char *name;
    zt::Ends (*make)();
    long (*sleeps_in)(); // as /proc shows it
};
void PrintTo(const CutShort &c, std::ostream *os) { *os << c.name; }
const CutShort kCutShort[] = {
    {"pipe", zt::make_pipe, zt::pipe_writer_seen},
    {"fifo", zt::make_fifo, zt::write_seen},
};

class FlushCutShort : public ::testing::TestWithParam<CutShort> {};

TEST_P(FlushCutShort, KeepsOnlyWhatWasNotWrittenAndTheProcessLives) {
    zt::Ends e = GetParam().make();
    ASSERT_EQ(::fcntl(e.peer.get(), F_SETPIPE_SZ, 4096), 4096);
    zt::Io io(std::move(e.peer));
    zelt::call(io, "sync=", {ZL_FALSE});
    write(io, std::string(6000, 'y'));
    std::atomic<pid_t> tid{0};
    auto flusher = std::async(std::launch::async, [&] {
        tid = gettid();
        return raised_by([&] { zelt::call(io, "flush"); });
    });
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(tid, GetParam().sleeps_in(), 10s));
    EXPECT_EQ(kernel_bytes(e.near.get()), 4096);
    e.near.reset(); // the waiting flush wakes to EPIPE
    EXPECT_EQ(flusher.get().err, EPIPE);
    EXPECT_EQ(pending(io), 6000 - 4096);
    EXPECT_EQ(room(io), 8192 - (6000 - 4096));
}

INSTANTIATE_TEST_SUITE_P(ReaderGone, FlushCutShort, ::testing::ValuesIn(kCutShort),
                         [](const auto &info) { return std::string(info.param.name); });

// A failure that passes: a file over the process's size limit (EFBIG, its
// SIGXFSZ ignored) takes the bytes below the limit; once the limit is
// raised, the next flush writes the kept bytes, after those, in order.
TEST(FailedFlush, KeepsTheRestInOrderForTheNextFlush) {
    struct sigaction ign {
    }, old{};
    ign.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ign, &old);
    rlimit before{};
    ::getrlimit(RLIMIT_FSIZE, &before);
    zt::Fd file(::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_GE(file.get(), 0);
    const int fd = ::dup(file.get());
    const std::string bytes = pattern(6000, 3);
    {
        zt::Io io(std::move(file));
        write(io, bytes);
        rlimit small = before;
        small.rlim_cur = 4096;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
        const Raised r = raised_by([&] { zelt::call(io, "flush"); });
        ::setrlimit(RLIMIT_FSIZE, &before);
        EXPECT_EQ(r.err, EFBIG) << r.message;
        EXPECT_EQ(pending(io), 6000 - 4096);
        zelt::call(io, "flush");
        EXPECT_EQ(pending(io), 0);
    }
    std::string got(6001, '\0');
    EXPECT_EQ(::pread(fd, got.data(), got.size(), 0), 6000);
    got.resize(6000);
    EXPECT_TRUE(got == bytes) << "the kept bytes moved, or were written twice";
    ::close(fd);
    ::sigaction(SIGXFSZ, &old, nullptr);
}

// ---- reads and writes on one socket --------------------------------------------------------

// A reader asleep in gets holds the reader's turn; a write on the same
// socket does not wait for it, and the reader still gets its line.
TEST(OneSocket, AWriteDoesNotWaitForAReaderAsleepOnTheSameStream) {
    zt::Ends e = zt::make_socketpair();
    const int peer = e.peer.get();
    zt::Io io(std::move(e.near));
    std::atomic<pid_t> tid{0};
    auto reader = std::async(std::launch::async, [&] {
        tid = gettid();
        zt::Held line(zelt::call(io, "gets"));
        return zelt::string_value(line);
    });
    while (tid.load() == 0) std::this_thread::yield();
    ASSERT_TRUE(zh::blocks_in(tid, zt::ppoll_seen(), 10s));
    auto writer = std::async(std::launch::async, [&] {
        write(io, "ping\n");
        zelt::call(io, "flush");
    });
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready) << "the write waited for the read";
    writer.get();
    EXPECT_EQ(read_exact(peer, 5), "ping\n");
    zt::write_all(peer, "pong\n");
    EXPECT_EQ(reader.get(), "pong\n");
}

// ---- fork --------------------------------------------------------------------------------------

// The parent's buffered bytes stay the parent's: a child that closes its
// copy, or writes and flushes its own, writes none of them.
TEST(Fork, AChildNeverWritesTheParentsBufferedBytes) {
    zt::Ends e = zt::make_pipe();
    const int rfd = e.near.get();
    zt::Io io(std::move(e.peer));
    zelt::call(io, "sync=", {ZL_FALSE});
    write(io, "parent;");
    for (bool child_writes : {false, true}) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            try {
                if (child_writes) write(io, "child;");
                zelt::call(io, "close");
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(pending(io) == 0 ? 0 : 3);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ(pending(io), 7) << "the parent keeps its bytes";
    zelt::call(io, "flush");
    EXPECT_EQ(read_exact(rfd, 13), "child;parent;");
}

// ---- bad arguments ---------------------------------------------------------------------------

struct Bad {
    const char *name;
    const char *method;
    int argc; // -1: the stream's own argument list below
    zl_value (*arg)();
    bool read_only, closed;
    const char *class_name, *message;
};
void PrintTo(const Bad &b, std::ostream *os) { *os << b.name; }

zl_value an_integer() { return zelt::integer(5); }
zl_value nil() { return ZL_NIL; }
zl_value a_string() { return zelt::str("x"); }

const Bad kBad[] = {
    {"integer", "write", 1, an_integer, false, false, "TypeError",
     "wrong argument type Integer (expected String)"},
    {"nil", "write", 1, nil, false, false, "TypeError",
     "wrong argument type NilClass (expected String)"},
    {"no_argument", "write", 0, nullptr, false, false, "ArgumentError",
     "wrong number of arguments (given 0, expected 1)"},
    {"read_only_write", "write", 1, a_string, true, false, "IOError", "not opened for writing"},
    {"read_only_flush", "flush", 0, nullptr, true, false, "IOError", "not opened for writing"},
    {"read_only_sync", "sync", 0, nullptr, true, false, "IOError", "not opened for writing"},
    {"read_only_set_sync", "sync=", 1, nil, true, false, "IOError", "not opened for writing"},
    {"closed_write", "write", 1, a_string, false, true, "IOError", "closed stream"},
    {"closed_flush", "flush", 0, nullptr, false, true, "IOError", "closed stream"},
    {"closed_sync", "sync", 0, nullptr, false, true, "IOError", "closed stream"},
};

class BadArguments : public ::testing::TestWithParam<Bad> {};

TEST_P(BadArguments, RaiseAndWriteNothing) {
    const Bad &b = GetParam();
    zt::Ends e = zt::make_pipe();
    const int rfd = e.near.get();
    zt::Io io(b.read_only ? std::move(e.near) : std::move(e.peer));
    if (b.closed) zelt::call(io, "close");
    zt::Held arg(b.arg ? b.arg() : ZL_NIL);
    Raised r = raised_by([&] {
        const zl_value args[1] = {arg};
        zelt::call(io, zelt::intern(b.method), b.argc, args);
    });
    EXPECT_EQ(r.class_name, b.class_name);
    EXPECT_EQ(r.message, b.message);
    if (!b.read_only && !b.closed) {
        zelt::call(io, "flush");
        EXPECT_EQ(kernel_bytes(rfd), 0);
    }
    EXPECT_EQ(room(io), 0 + (b.read_only || b.closed ? 0 : 8192));
}

INSTANTIATE_TEST_SUITE_P(Calls, BadArguments, ::testing::ValuesIn(kBad),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace write_test
