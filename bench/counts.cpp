// counts.cpp: each call path in loops between markers, for valgrind to count
// user-space instructions (callgrind) and the pages one call touches
// (lackey's memory trace). bench/counts.py runs it and reads the counts.
//
//   zelt-counts instructions   for each path, N1 then N2 calls with callgrind
//                              collecting, each loop dumped as "PATH/N"
//   zelt-counts pages          for each path, kPageCalls calls, a load from
//                              the marker page before each and after the last
//   zelt-counts streams PAD    the same for the query paths and wait(0), in a
//                              program that holds several IO objects on
//                              different streams, PAD bytes of heap taken
//                              before each and before the thread's first call
//
// The blocking wait's byte comes from a child process: it writes only when
// the pipe is empty and the parent sits in ppoll, so every such wait sleeps
// once. A process of its own, so that its work falls in no count of ours
// (valgrind traces it into a file of its own).
#include "streams.hpp" // zb::Ends, zb::Io, zb::methods

#include <cstdio>               // printf, fopen
#include <cstdlib>              // strtoul, malloc
#include <cstring>              // strcmp, strncmp
#include <ctime>                // nanosleep
#include <deque>                // the streams: IO objects stay where they are made
#include <poll.h>               // ppoll
#include <signal.h>             // kill, SIGKILL
#include <stdexcept>            // runtime_error
#include <sys/epoll.h>          // epoll_create1, epoll_ctl, epoll_wait: the selector's raw call
#include <sys/ioctl.h>          // ioctl, FIONREAD, TIOCOUTQ
#include <sys/prctl.h>          // PR_SET_PDEATHSIG
#include <sys/wait.h>           // waitpid
#include <unistd.h>             // fork, read, write, getppid
#include <valgrind/callgrind.h> // CALLGRIND_TOGGLE_COLLECT, CALLGRIND_DUMP_STATS_AT: no-ops natively
#include <vector>               // the heap's padding

namespace {

constexpr int kWarmup = 20;              // first calls register the thread, fill caches
constexpr int kShort = 100, kLong = 200; // their difference cancels the loop's own cost
constexpr int kPageCalls = 4;            // the last of them is the steady state
constexpr long kPollNs = 20000;          // the waker's pause between looks

alignas(4096) volatile char marker_page[4096]; // one store here between calls: the trace's marker
                                               // (a load whose value goes unused may be dropped by
                                               // valgrind)

// Reads FORMAT's one field from /proc/PID/FILE.
template <class T> bool proc_field(pid_t pid, const char *file, const char *format, T *out) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/%s", static_cast<int>(pid), file);
    FILE *f = std::fopen(path, "r");
    if (!f) return false;
    const bool got = std::fscanf(f, format, out) == 1;
    std::fclose(f);
    return got;
}

// The parent's main thread asleep in ppoll (x86_64: 271), FD empty. A zero
// limit ppoll elsewhere in the parent runs, and is not taken for it.
bool parent_sleeps_on(int fd, pid_t parent) {
    int count = -1;
    if (ioctl(fd, FIONREAD, &count) != 0 || count != 0) return false;
    long nr = -1;
    char state = '?';
    return proc_field(parent, "syscall", "%ld", &nr) && nr == 271 &&
           proc_field(parent, "stat", "%*d (%*[^)]) %c", &state) && state == 'S';
}

// Child: one byte into FD each time the parent sleeps on the empty pipe.
[[noreturn]] void waker(int fd, pid_t parent) {
    prctl(PR_SET_PDEATHSIG, SIGKILL); // never outlives the parent
    const timespec pause{0, kPollNs};
    while (getppid() == parent) {
        if (parent_sleeps_on(fd, parent) && write(fd, "x", 1) != 1) break;
        nanosleep(&pause, nullptr);
    }
    _exit(0);
}

struct Blocking {
    zb::Ends pipe = zt::make_pipe();
    int fd = pipe.near.get(); // the read end, whoever owns it
    pid_t child = -1;
    Blocking() {
        const pid_t parent = getpid();
        child = fork();
        if (child == 0) waker(pipe.peer.get(), parent);
        if (child < 0) throw std::runtime_error("fork failed");
    }
    ~Blocking() {
        if (child <= 0) return;
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    void drain() const { // the woken wait's byte, read raw: the buffer stays empty
        char c;
        if (read(fd, &c, 1) != 1) throw std::runtime_error("no byte after the wake");
    }
};

bool pages_mode = false;

// One call of the path: out of line, so that every path's loop is the same
// and the empty path's count is the loop's own cost, taken off the others.
// The empty asm, no instruction, keeps even the empty path's calls. Hot, like
// the loops: the counter's own code on as few pages as the layout allows.
template <class F> [[gnu::noinline, gnu::hot]] void step(const F &once) {
    once();
    asm volatile("");
}

// Keeps V computed, at no instruction's cost.
inline void keep(zl_value v) { asm volatile("" : : "r"(v)); }

// Runs ONCE kWarmup times, checked by CHECK, then as the mode counts it. The
// pages' loop calls ONCE inline, and the whole, well under 1 KiB, is aligned
// so that it never straddles a page: each path's own code is one page of the
// counter's wherever the linker puts it (a step out of line, or a loop that
// crossed a page, made one path or another count one more).
template <class F>
[[gnu::noinline, gnu::hot, gnu::aligned(1024)]] void measure(const char *name, F once) {
    for (int i = 0; i < kWarmup; ++i) once();
    if (pages_mode) {
        std::printf("path %s\n", name);
        std::fflush(stdout);
        for (int i = 0; i < kPageCalls; ++i) {
            marker_page[0] = 1;
            once();
            asm volatile(""); // as in step: nothing moved across the marker
        }
        marker_page[0] = 1;
        return;
    }
    char label[128];
    for (int n : {kShort, kLong}) {
        CALLGRIND_TOGGLE_COLLECT;
        for (int i = 0; i < n; ++i) step(once);
        CALLGRIND_TOGGLE_COLLECT;
        std::snprintf(label, sizeof label, "%s/%d", name, n);
        CALLGRIND_DUMP_STATS_AT(label);
    }
}

void expect(bool ok, const char *what) {
    if (!ok) throw std::runtime_error(what);
}

void print_maps() { // what each page is, for counts.py --explain
    std::fflush(stdout);
    FILE *maps = std::fopen("/proc/self/maps", "r");
    for (char line[512]; maps && std::fgets(line, sizeof line, maps);) std::printf("map %s", line);
    if (maps) std::fclose(maps);
}

// The query paths and wait(0) on two of several streams: pipes and socket
// pairs, some answered by the kernel, some by their read buffer, with PAD
// bytes of heap taken before each object and before the thread's first
// call, so that the blocks, the thread's entry and the heap's other chunks
// fall differently on pages from one PAD to the next.
void several_streams(std::size_t pad) {
    const zb::Methods &m = zb::methods();
    std::vector<void *> padding; // kept to the end: what moves the layout
    auto take = [&] { padding.push_back(pad ? std::malloc(pad) : nullptr); };
    std::deque<zb::Io> ios;
    std::vector<zb::Ends> peers; // the far ends, open while the program runs
    for (int i = 0; i < 3; ++i) {
        take();
        zb::Ends e = i == 1 ? zb::socket_pair() : zb::pipe_holding("x");
        if (i == 1 && write(e.peer.get(), "x", 1) != 1) throw std::runtime_error("write failed");
        ios.emplace_back(std::move(e.near));
        peers.push_back(std::move(e));
        take();
        zb::Ends lines = zb::pipe_holding("a\nbcd\n");
        ios.emplace_back(std::move(lines.near));
        peers.push_back(std::move(lines));
    }
    take();
    for (std::size_t i = 1; i < ios.size(); i += 2) // each second stream buffers "bcd\n"
        zelt::release(zelt::call(ios[i], m.gets, 0, nullptr));
    const zl_value k = ios[2].value(), b = ios[3].value(); // in the middle of the others
    expect(zelt::call(k, m.nread, 0, nullptr) == zelt::integer(1), "nread on the kernel path");
    expect(zelt::call(b, m.nread, 0, nullptr) == zelt::integer(4), "nread from the buffer");
    measure("nread_kernel", [k, id = m.nread] { keep(zelt::call(k, id, 0, nullptr)); });
    measure("ready_kernel", [k, id = m.ready] { keep(zelt::call(k, id, 0, nullptr)); });
    measure("nread_buffered", [b, id = m.nread] { keep(zelt::call(b, id, 0, nullptr)); });
    const zl_value zero_limit[] = {zelt::integer(0)};
    expect(zelt::call(k, m.wait, 1, zero_limit) == k, "wait(0) on a ready pipe");
    measure("wait_ready",
            [k, id = m.wait, &zero_limit] { keep(zelt::call(k, id, 1, zero_limit)); });
    for (void *p : padding) std::free(p);
}

// The output side, after every other path (its extension is loaded here):
// nwrite on a socket pair's idle end beside a raw SIOCOUTQ, writable? and
// wait_writable(0) on an empty pipe's write end beside a raw zero-limit
// ppoll for POLLOUT, each the system call its kernel path makes.
void output_side(const zl_value *zero_limit) {
    const zb::WriteMethods &w = zb::write_methods();
    zb::Ends sock = zb::socket_pair(), raw_sock = zb::socket_pair();
    zb::Ends pipe = zt::make_pipe(), raw_pipe = zt::make_pipe();
    const int sfd = raw_sock.near.get(), pfd = raw_pipe.peer.get();
    int queued = 0;
    measure("raw_outq", [&] { keep(static_cast<zl_value>(ioctl(sfd, TIOCOUTQ, &queued))); });
    zb::Io sio(std::move(sock.near)), pio(std::move(pipe.peer));
    for (zl_value io : {sio.value(), pio.value()}) // the kernel's answers, not a buffer's room
        zelt::call(io, "sync=", {ZL_TRUE});
    expect(zelt::call(sio, w.nwrite, 0, nullptr) == zelt::integer(0), "nwrite on a socket");
    measure("nwrite_kernel",
            [s = sio.value(), id = w.nwrite] { keep(zelt::call(s, id, 0, nullptr)); });
    pollfd out{pfd, POLLOUT, 0};
    const timespec zero{};
    measure("raw_ppoll_out", [&] { keep(static_cast<zl_value>(ppoll(&out, 1, &zero, nullptr))); });
    expect(zelt::call(pio, w.writable, 0, nullptr) == ZL_TRUE, "writable? on an empty pipe");
    measure("writable_kernel",
            [p = pio.value(), id = w.writable] { keep(zelt::call(p, id, 0, nullptr)); });
    expect(zelt::call(pio, w.wait_writable, 1, zero_limit) == pio.value(), "wait_writable(0)");
    measure("wait_writable_ready", [p = pio.value(), id = w.wait_writable, zero_limit] {
        keep(zelt::call(p, id, 1, zero_limit));
    });
    zb::Ends held = zt::make_pipe();
    zb::Io bio(std::move(held.peer)); // buffered: room in its write buffer answers
    const zl_value byte = zelt::str("x");
    zelt::call(bio, "write", {byte});
    zelt::release(byte);
    expect(zelt::call(bio, w.writable, 0, nullptr) == ZL_TRUE, "writable? from the buffer");
    measure("writable_buffered",
            [b = bio.value(), id = w.writable] { keep(zelt::call(b, id, 0, nullptr)); });
}

} // namespace

// The stack pointer moved down to just below a page's top, whatever the
// environment's size left above it: the calls' frames then lie on the same
// pages in every run, CI's too. The caller's frame must stay live meanwhile.
[[gnu::noinline]] int on_a_fixed_stack(int (*run)(int, char **), int argc, char **argv) {
    const auto sp = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const std::size_t room = 4032, in_page = sp % 4096;
    volatile char *pad =
        static_cast<char *>(alloca(in_page >= room ? in_page - room : in_page + 4096 - room));
    pad[0] = 0; // keeps it
    return run(argc, argv);
}

// The waits on several streams where the kernel answers, each beside its
// raw call over the same descriptor: IO.wait_any of the kernel pipe K alone
// (FD) against a ppoll of it that then reads the revents, and a Selector's
// wait against epoll_wait on an epoll instance of the counter's own. Then
// the Selector's wait answered from its ready stack (BUFFERED registered:
// input in its read buffer), with no system call. Last of the paths, so
// that the objects they make move no other path's pages.
// Whether the answer FOUND is exactly EXPECTED; the answer released.
bool answers(zl_value found, zl_value expected) {
    const bool same = zelt::array_values(found) == std::vector<zl_value>{expected};
    zelt::release(found);
    return same;
}

void many_streams(zl_value k, zl_value buffered, int fd) {
    const zl_value one = zelt::array({k});
    const zl_value wait_any_args[] = {one, zelt::integer(0)};
    const zelt::Id wait_any = zelt::intern("wait_any");
    pollfd pfd{fd, POLLIN, 0};
    const timespec zero{};
    measure("raw_ppoll_set", [&] {
        keep(static_cast<zl_value>(ppoll(&pfd, 1, &zero, nullptr)));
        keep(static_cast<zl_value>(pfd.revents & (POLLIN | POLLHUP | POLLERR)));
    });
    expect(answers(zelt::call(zl_cIO, wait_any, 2, wait_any_args), k),
           "IO.wait_any of a ready pipe");
    measure("wait_any_kernel", [&wait_any_args, wait_any] {
        const zl_value found = zelt::call(zl_cIO, wait_any, 2, wait_any_args);
        keep(found);
        zelt::release(found);
    });

    const zl_value selector_class = zelt::class_named("Selector");
    const zl_value kernel_sel = zelt::call(selector_class, "new");
    zelt::call(kernel_sel, "register", {k});
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) != 0)
        throw std::runtime_error("epoll failed");
    epoll_event got[64];
    measure("raw_epoll_wait",
            [ep, &got] { keep(static_cast<zl_value>(epoll_wait(ep, got, 64, 0))); });
    const zl_value zero_limit[] = {zelt::integer(0)};
    const zelt::Id wait = zelt::intern("wait");
    expect(answers(zelt::call(kernel_sel, wait, 1, zero_limit), k),
           "Selector#wait(0) on a ready pipe");
    measure("selector_wait_kernel", [kernel_sel, wait, &zero_limit] {
        const zl_value found = zelt::call(kernel_sel, wait, 1, zero_limit);
        keep(found);
        zelt::release(found);
    });

    const zl_value buffered_sel = zelt::call(selector_class, "new");
    zelt::call(buffered_sel, "register", {buffered});
    expect(answers(zelt::call(buffered_sel, wait, 1, zero_limit), buffered),
           "Selector#wait(0) from the read buffer");
    measure("selector_buffered", [buffered_sel, wait, &zero_limit] {
        const zl_value found = zelt::call(buffered_sel, wait, 1, zero_limit);
        keep(found);
        zelt::release(found);
    });
    zelt::release(buffered_sel); // its streams stay open: the selector only leaves them
    zelt::release(kernel_sel);
    zelt::release(one);
    ::close(ep);
}

int counts_main(int argc, char **argv) {
    const bool streams = argc == 3 && std::strcmp(argv[1], "streams") == 0;
    if (!streams && (argc != 2 || (std::strcmp(argv[1], "instructions") != 0 &&
                                   std::strcmp(argv[1], "pages") != 0))) {
        std::fprintf(stderr, "usage: zelt-counts instructions|pages|streams PAD\n");
        return 2;
    }
    pages_mode = std::strcmp(argv[1], "instructions") != 0;
    if (pages_mode)
        std::printf("marker %p\n", static_cast<void *>(const_cast<char *>(marker_page)));
    try {
        if (streams) {
            several_streams(std::strtoul(argv[2], nullptr, 10));
            print_maps();
            return 0;
        }
        const zb::Methods &m = zb::methods();
        Blocking blocking; // forked first, before any other thread or object of ours
        const int bfd = blocking.pipe.near.get();
        zb::Io bio(bfd);
        (void)blocking.pipe.near.release(); // the IO object owns it now

        measure("loop", [] {});

        zb::Ends raw = zb::pipe_holding("x");
        const int fd = raw.near.get();
        int count = 0;
        measure("raw_ioctl", [&] { keep(static_cast<zl_value>(ioctl(fd, FIONREAD, &count))); });

        zb::Io kio(zb::pipe_holding("x").near.release());
        expect(zelt::call(kio, m.nread, 0, nullptr) == zelt::integer(1),
               "nread on the kernel path");
        expect(zelt::call(kio, m.ready, 0, nullptr) == ZL_TRUE, "ready? on the kernel path");
        // Receiver and name by value, as a program holds them: no page of ours to read them from.
        const zl_value k = kio.value();
        measure("nread_kernel", [k, id = m.nread] { keep(zelt::call(k, id, 0, nullptr)); });
        measure("ready_kernel", [k, id = m.ready] { keep(zelt::call(k, id, 0, nullptr)); });

        zb::Ends lines = zb::pipe_holding("a\nbcd\n");
        zb::Io bufio(std::move(lines.near)); // gets reads the whole pipe: "bcd\n" stays buffered
        zelt::release(zelt::call(bufio, m.gets, 0, nullptr));
        expect(zelt::call(bufio, m.nread, 0, nullptr) == zelt::integer(4), "nread from the buffer");
        measure("nread_buffered",
                [b = bufio.value(), id = m.nread] { keep(zelt::call(b, id, 0, nullptr)); });

        // IO.wait_any over a pipe the kernel holds a byte of and the buffered
        // stream: the buffer answers, with no system call; the answer made and
        // released, as a program's would be.
        zelt::require("wait_many");
        const zl_value set = zelt::array({k, bufio.value()});
        const zl_value wait_any_args[] = {set, zelt::integer(0)};
        const zelt::Id wait_any = zelt::intern("wait_any");
        const zl_value answered = zelt::call(zl_cIO, wait_any, 2, wait_any_args);
        expect(zelt::array_values(answered) == std::vector<zl_value>{bufio.value()},
               "IO.wait_any from the buffer");
        zelt::release(answered);
        measure("wait_any_buffered", [&wait_any_args, wait_any] {
            const zl_value found = zelt::call(zl_cIO, wait_any, 2, wait_any_args);
            keep(found);
            zelt::release(found);
        });

        pollfd pfd{fd, POLLIN, 0};
        const timespec zero{};
        measure("raw_ppoll_ioctl", [&] {
            keep(static_cast<zl_value>(ppoll(&pfd, 1, &zero, nullptr)));
            keep(static_cast<zl_value>(ioctl(fd, FIONREAD, &count)));
        });
        const zl_value zero_limit[] = {zelt::integer(0)};
        expect(zelt::call(kio, m.wait, 1, zero_limit) == kio.value(), "wait(0) on a ready pipe");
        measure("wait_ready",
                [k, id = m.wait, &zero_limit] { keep(zelt::call(k, id, 1, zero_limit)); });

        // Each woken by the child's byte, which the step then reads.
        pollfd bpfd{bfd, POLLIN, 0};
        const timespec ten{10, 0};
        measure("raw_ppoll_ioctl_blocking", [&] {
            keep(static_cast<zl_value>(ppoll(&bpfd, 1, &ten, nullptr)));
            keep(static_cast<zl_value>(ioctl(bfd, FIONREAD, &count)));
            blocking.drain();
        });
        const zl_value ten_limit[] = {zelt::integer(10)};
        expect(zelt::call(bio, m.wait, 1, ten_limit) == bio.value(), "wait(10) woken by a byte");
        blocking.drain();
        measure("wait_blocking", [&, b = bio.value(), id = m.wait] {
            keep(zelt::call(b, id, 1, ten_limit));
            blocking.drain();
        });
        output_side(zero_limit);
        many_streams(k, bufio.value(), fd);
        if (pages_mode) print_maps();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "zelt-counts: %s\n", e.what());
        return 1;
    }
    return 0;
}

int main(int argc, char **argv) { return on_a_fixed_stack(counts_main, argc, argv); }
