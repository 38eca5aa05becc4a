// zelt-io: makes method calls on one stream, printing each result, or
// waits on several, naming those with input.
//
//   zelt-io [--fd N | --file PATH [--write]] [--raw | --time] [--status]
//           [--within SECONDS] [--no-read-ahead] [--require NAME]... CALL...
//   zelt-io (--fd N | --file PATH)... [--status] wait[(LIMIT)]
//
// Exit status 0 when every call returned, 1 when one raised or a result
// could not be written, 2 on a usage error; with --status, what the last
// call found (exit_status.hpp); killed by SIGPIPE, as any tool, when the
// reader of its results went away. See usage() in options.cpp.
#include "call_parser.hpp"  // Call, Arg
#include "exit_status.hpp"  // exit_status, status_of_refused_count
#include "message_text.hpp" // quoted, one_line: names and messages on one line
#include "options.hpp"      // parse_options, usage, version, UsageError

#include <zelt/embed.hpp> // require, io_new, call, inspect, release, Error

#include <algorithm>   // std::find, std::min
#include <cerrno>      // errno, EPIPE, for zl_sys_fail
#include <chrono>      // steady_clock: a call's elapsed time
#include <csignal>     // sigaction, raise, SIGPIPE
#include <cstdio>      // FILE, fdopen, fwrite, fprintf, fflush, snprintf
#include <cstring>     // strerror: a write error's text
#include <exception>   // std::exception
#include <fcntl.h>     // open, fcntl, O_RDONLY, O_WRONLY, O_CLOEXEC, F_DUPFD_CLOEXEC
#include <new>         // std::bad_alloc
#include <set>         // the IO class's method names
#include <stdexcept>   // std::length_error: a buffer past what can be had
#include <string>      // result lines
#include <string_view> // the bytes written
#include <unistd.h>    // close
#include <variant>     // std::visit
#include <vector>      // one call's argument values

namespace {

using zelt_io::Arg;
using zelt_io::Call;
using zelt_io::Options;

// Heap values made here, released when the scope ends (immediates are
// left alone by release).
class Owned {
public:
    Owned() = default;
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() {
        for (zl_value v : values_) zelt::release(v);
    }
    zl_value adopt(zl_value v) {
        values_.push_back(v);
        return v;
    }
    bool holds(zl_value v) const {
        return std::find(values_.begin(), values_.end(), v) != values_.end();
    }

private:
    std::vector<zl_value> values_;
};

zl_value to_value(const Arg &arg) {
    struct {
        zl_value operator()(zelt_io::Nil) const { return ZL_NIL; }
        zl_value operator()(bool b) const { return zl_bool(b); }
        // RangeError past the 62 bits an Integer holds
        zl_value operator()(std::int64_t n) const { return zelt::integer(n); }
        zl_value operator()(double d) const { return zelt::flt(d); }
        zl_value operator()(const std::string &s) const { return zelt::str(s); }
    } make;
    return std::visit(make, arg);
}

// A stream's descriptor: FILE opened for reading (or, with WRITE, for
// writing), else FD.
int open_stream(int fd, const std::string &file, bool write = false) {
    if (file.empty()) return fd;
    fd = ::open(file.c_str(), (write ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) zl_sys_fail(zelt_io::quoted(file).c_str()); // SystemCallError naming the path
    return fd;
}

// An IO object on the stream FD or FILE names (opened for writing with
// WRITE), owned by OWNED.
zl_value wrap_stream(Owned &owned, int fd, const std::string &file, bool write = false) {
    fd = open_stream(fd, file, write);
    zl_value io;
    try {
        io = zelt::io_new(fd);
    } catch (...) {
        if (!file.empty()) ::close(fd); // io_new leaves an invalid fd with us
        throw;
    }
    return owned.adopt(io); // released, and so closed, at the end
}

// Where results and messages go. When the stream is standard output or
// error itself, a copy of that descriptor: a close of the stream (a call's,
// or the release as an error unwinds) then leaves the last message a place
// to go.
class Console {
public:
    explicit Console(const Options &o)
        : out_(o.file.empty() && o.fd == 1 ? copy_of(1, stdout) : stdout),
          err_(o.file.empty() && o.fd == 2 ? copy_of(2, stderr) : stderr) {}
    Console(const Console &) = delete;
    Console &operator=(const Console &) = delete;
    ~Console() {
        for (FILE *f : {out_, err_})
            if (f != stdout && f != stderr) std::fclose(f);
    }
    FILE *out() const { return out_; }
    FILE *err() const { return err_; }

private:
    // A stream over a copy of FD; FALLBACK when no copy can be made.
    static FILE *copy_of(int fd, FILE *fallback) {
        const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3); // above the standard three
        if (copy < 0) return fallback;
        if (FILE *f = ::fdopen(copy, "w")) return f;
        ::close(copy);
        return fallback;
    }

    FILE *out_, *err_;
};

// A result that could not be written: the run fails as when a call raises.
struct WriteError {
    int err;
};

// BYTES as they are, flushed: a peer sees each result as it comes.
void write_out(FILE *out, std::string_view bytes) {
    errno = 0;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    if (std::fflush(out) != 0 || !written) throw WriteError{errno};
}

// A CALL naming a method that IO does not have, now that every extension
// is loaded, is refused before any call runs.
void check_methods(const std::vector<Call> &calls) {
    std::set<std::string> names;
    for (zl_value klass : {zl_cIO, zelt::class_named("Object")})
        for (const zelt::MethodInfo &m : zelt::methods_of(klass)) names.insert(m.name);
    for (const Call &call : calls) {
        if (names.count(call.name)) continue;
        std::string known;
        for (const std::string &name : names) known += (known.empty() ? "" : ", ") + name;
        throw zelt_io::UsageError("IO has no method \"" + call.name + "\" (it has " + known + ")");
    }
}

// A streamed read takes this much at a time: what it holds in memory.
constexpr std::int64_t kPiece = std::int64_t{64} * 1024;

// read, or read(n) past one piece, with raw output: read(piece) after
// read(piece), each written as it comes, rather than one String of it all.
// The same bytes, as a read takes what it asks for unless the stream ends.
// Returns the status of the one read it stands for.
int stream_read(FILE *out, zl_value io, const Call &call) {
    const bool all = call.args.empty();
    std::int64_t left = all ? 0 : std::get<std::int64_t>(call.args[0]);
    std::int64_t taken = 0;
    const zelt::Id read = zelt::intern("read");
    while (all || left > 0) {
        Owned owned;
        const zl_value ask = zelt::integer(all ? kPiece : std::min(left, kPiece));
        const zl_value piece = zelt::call(io, read, 1, &ask);
        if (piece == ZL_NIL) { // the end: read(n) there gives nil, read ""
            if (!all && taken == 0) write_out(out, "nil\n");
            break;
        }
        owned.adopt(piece);
        const std::string bytes = zelt::string_value(piece);
        write_out(out, bytes);
        taken += static_cast<std::int64_t>(bytes.size());
        left -= static_cast<std::int64_t>(bytes.size());
    }
    return taken > 0 ? zelt_io::kInputWaiting : zelt_io::kEndOfStream;
}

// read or read(n) whose String may be large: read(n) for n past one piece.
bool streamed(const Call &call) {
    if (call.name != "read" || call.args.size() > 1) return false;
    if (call.args.empty()) return true;
    const auto *n = std::get_if<std::int64_t>(&call.args[0]);
    return n && *n > kPiece; // a smaller one, or an argument read refuses, as a single call
}

// Make CALL on IO and print its result; raises what the call raised. With
// STATUS, returns the exit status that the result tells. RAW writes a
// String as its bytes, nothing added, and streams a large read.
int make_call(FILE *out, zl_value io, const Call &call, const Options &o) {
    if (o.raw && streamed(call)) {
        const int found = stream_read(out, io, call);
        return o.status ? found : 0;
    }
    Owned owned; // the arguments, and a fresh result
    std::vector<zl_value> argv;
    argv.reserve(call.args.size());
    for (const Arg &arg : call.args) argv.push_back(owned.adopt(to_value(arg)));

    const auto start = std::chrono::steady_clock::now();
    zl_value result =
        zelt::call(io, zelt::intern(call.name), static_cast<int>(argv.size()), argv.data());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    if (result != io && !owned.holds(result)) owned.adopt(result); // e.g. the String of gets
    if (o.raw && zelt::is_string(result)) {
        write_out(out, zelt::string_value(result));
    } else {
        std::string line = zelt::inspect(result);
        if (o.time) {
            char elapsed[48];
            std::snprintf(elapsed, sizeof elapsed, "  (%.3f s)", took.count());
            line += elapsed;
        }
        write_out(out, line + '\n');
    }
    return o.status ? zelt_io::exit_status(call.name, !call.args.empty(), result, io) : 0;
}

// --within: wait up to LIMIT for input on IO; the status of what came. A
// wait the kernel would not count for (/dev/null, a hung-up terminal) is
// told by what the stream holds; any other raise stays an error.
int wait_for_input(zl_value io, const Arg &limit) {
    Owned owned;
    const zl_value seconds = owned.adopt(to_value(limit));
    zl_value found = ZL_NIL;
    try {
        found = zelt::call(io, zelt::intern("wait"), 1, &seconds);
    } catch (const zelt::Error &e) {
        const int status = zelt_io::status_of_refused_count(e.err(), io);
        if (status < 0) throw;
        return status;
    }
    return zelt_io::exit_status("wait", true, found, io);
}

// Several streams: one IO.wait_any on them all, each stream it answered
// named on its own line in the order given, nothing printed when the limit
// passed. With --status: input on one of them, all of them at their end, or
// the limit passed. Reads nothing but what --status needs to tell a stream
// at its end (a regular file's read-ahead given back at its close).
int wait_on_several(const Options &o, const Console &console) {
    zelt::require("wait_many");
    Owned owned;
    std::vector<zl_value> ios;
    for (const zelt_io::Source &s : o.several) ios.push_back(wrap_stream(owned, s.fd, s.file));
    std::vector<zl_value> argv{owned.adopt(zelt::array(ios))};
    for (const Arg &limit : o.calls[0].args) argv.push_back(owned.adopt(to_value(limit)));
    const zl_value found =
        zelt::call(zl_cIO, zelt::intern("wait_any"), static_cast<int>(argv.size()), argv.data());
    if (found == ZL_NIL) return o.status ? zelt_io::kLimitPassed : 0;
    const std::vector<zl_value> ready = zelt::array_values(owned.adopt(found));
    std::string lines;
    for (std::size_t i = 0; i < ios.size(); ++i)
        if (std::find(ready.begin(), ready.end(), ios[i]) != ready.end())
            lines += o.several[i].name() + '\n';
    write_out(console.out(), lines);
    if (!o.status) return 0;
    bool all_ended = true;
    for (zl_value io : ready) {
        const int status = zelt_io::status_of_answered(io);
        if (status == zelt_io::kInputWaiting) return status;
        all_ended = all_ended && status == zelt_io::kEndOfStream;
    }
    return all_ended ? zelt_io::kEndOfStream : zelt_io::kLimitPassed; // what came was taken
}

// Load the extensions, wrap the stream and make the calls; returns the exit
// status. Raises; the stream is closed on every way out, and on a seekable
// one the offset left where the calls stopped reading.
int run(const Options &o, const Console &console) {
    zelt::require("wait");
    zelt::require("wait_write"); // the output side
    for (const std::string &name : o.extensions) zelt::require(name);
    check_methods(o.calls);
    if (!o.several.empty()) return wait_on_several(o, console);
    Owned owned;
    const zl_value io = wrap_stream(owned, o.fd, o.file, o.write);
    if (!o.read_ahead) zelt::io_set_read_ahead(io, false);
    // zelt-io writes nothing: its output side asks the kernel, not the room of
    // a buffer it keeps empty.
    if ((::fcntl(zelt::io_fd(io), F_GETFL) & O_ACCMODE) != O_RDONLY)
        zelt::call(io, "sync=", {ZL_TRUE});
    int status = 0;
    for (const Call &call : o.calls) {
        if (o.within)
            if (const int found = wait_for_input(io, *o.within); found != zelt_io::kInputWaiting)
                return found;
        try {
            status = make_call(console.out(), io, call, o);
        } catch (const zelt::Error &e) { // /dev/null, a hung-up terminal: see wait_for_input
            if (!o.status || call.name != "wait") throw;
            const int found = zelt_io::status_of_refused_count(e.err(), io);
            if (found < 0) throw;
            return found;
        }
    }
    return status;
}

void report_write_error(FILE *err, int e) {
    std::fprintf(err, "zelt-io: write error%s%s\n", e ? ": " : "", e ? std::strerror(e) : "");
}

void report(FILE *err, const std::string &class_name, const std::string &message) {
    std::fprintf(err, "zelt-io: %s: %s\n", zelt_io::one_line(class_name).c_str(),
                 zelt_io::one_line(message).c_str());
}

// A reader of the results that goes away. Left to SIGPIPE, zelt-io would die
// at the write, before its stream is closed and a seekable one's read-ahead
// given back; ignored, the write fails with EPIPE, the stream is closed as
// the error unwinds, and then zelt-io ends as SIGPIPE ends a tool, for the
// caller to see. A caller that ignores or blocks SIGPIPE gets the write
// error (status 1), as before.
class BrokenPipe {
public:
    BrokenPipe() {
        struct sigaction now {};
        sigset_t blocked;
        ::sigemptyset(&blocked);
        if (::sigaction(SIGPIPE, nullptr, &now) != 0 || now.sa_handler != SIG_DFL) return;
        if (::pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0) return;
        if (::sigismember(&blocked, SIGPIPE)) return;
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        taken_ = ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
    }
    // Ends the process by SIGPIPE when E is a write's EPIPE that it held back.
    void die_of(int e) const {
        if (!taken_ || e != EPIPE) return;
        std::signal(SIGPIPE, SIG_DFL);
        std::raise(SIGPIPE); // not blocked: delivered before raise returns
    }

private:
    bool taken_ = false;
};

} // namespace

int main(int argc, char **argv) {
    Options options;
    try {
        options = zelt_io::parse_options(argc, argv);
    } catch (const zelt_io::UsageError &e) {
        std::fprintf(stderr, "zelt-io: %s\n%sRun 'zelt-io --help' for more.\n", e.what(),
                     zelt_io::synopsis());
        return 2;
    }
    const BrokenPipe broken_pipe;
    if (options.help || options.version) {
        errno = 0;
        std::fputs(options.help ? zelt_io::usage() : zelt_io::version(), stdout);
        if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
        broken_pipe.die_of(errno);
        report_write_error(stderr, errno);
        return 1;
    }
    const Console console(options);
    try {
        return run(options, console);
    } catch (const zelt_io::UsageError &e) { // a method IO does not have: no call made
        std::fprintf(console.err(), "zelt-io: %s\n%sRun 'zelt-io --help' for more.\n", e.what(),
                     zelt_io::synopsis());
        return 2;
    } catch (const WriteError &e) { // the stream closed by now: run() has unwound
        broken_pipe.die_of(e.err);
        report_write_error(console.err(), e.err);
        return 1;
    } catch (const zelt::Error &e) {
        std::fflush(console.out());
        report(console.err(), e.class_name(), e.message());
        return 1;
    } catch (const std::bad_alloc &) { // a failed run, said as a call's error is
        std::fflush(console.out());
        report(console.err(), "NoMemoryError", "failed to allocate memory");
        return 1;
    } catch (const std::length_error &) { // a buffer larger than any allocation
        std::fflush(console.out());
        report(console.err(), "NoMemoryError", "failed to allocate memory");
        return 1;
    } catch (const std::exception &e) { // none known; still a failed run, not a crash
        std::fflush(console.out());
        report(console.err(), "RuntimeError", e.what());
        return 1;
    }
}
