// zelt-io: makes method calls on one stream, printing each result.
//
//   zelt-io [--fd N | --file PATH] [--time] [--status] [--no-read-ahead]
//           [--require NAME]... CALL...
//
// Exit status 0 when every call returned, 1 when one raised or a result
// could not be written, 2 on a usage error; with --status, what the last
// call found (exit_status.hpp). See usage() in options.cpp for the whole text.
#include "call_parser.hpp" // Call, Arg
#include "exit_status.hpp" // exit_status
#include "options.hpp"     // parse_options, usage, version, UsageError

#include <zelt/embed.hpp> // require, io_new, call, inspect, release, Error

#include <algorithm> // std::find
#include <cerrno>    // errno, for zl_sys_fail
#include <chrono>    // steady_clock: a call's elapsed time
#include <cstdio>    // FILE, fdopen, fputs, fprintf, fflush, snprintf
#include <cstring>   // strerror: a write error's text
#include <exception> // std::exception
#include <fcntl.h>   // open, fcntl, O_RDONLY, O_CLOEXEC, F_DUPFD_CLOEXEC
#include <set>       // the IO class's method names
#include <string>    // result lines
#include <unistd.h>  // close
#include <variant>   // std::visit
#include <vector>    // one call's argument values

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

// The stream's descriptor: --file opened for reading, else --fd (0 by default).
int open_stream(const Options &o) {
    if (o.file.empty()) return o.fd;
    int fd = ::open(o.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) zl_sys_fail(o.file.c_str()); // SystemCallError naming the path
    return fd;
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

void print_line(FILE *out, const std::string &line) {
    errno = 0;
    const bool written = std::fputs(line.c_str(), out) >= 0 && std::fputc('\n', out) != EOF;
    if (std::fflush(out) != 0 || !written) throw WriteError{errno}; // a peer sees each as it comes
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

// Make CALL on IO and print its result; raises what the call raised. With
// STATUS, returns the exit status that the result tells.
int make_call(FILE *out, zl_value io, const Call &call, bool timed, bool status) {
    Owned owned; // the arguments, and a fresh result
    std::vector<zl_value> argv;
    argv.reserve(call.args.size());
    for (const Arg &arg : call.args) argv.push_back(owned.adopt(to_value(arg)));

    const auto start = std::chrono::steady_clock::now();
    zl_value result =
        zelt::call(io, zelt::intern(call.name), static_cast<int>(argv.size()), argv.data());
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;

    if (result != io && !owned.holds(result)) owned.adopt(result); // e.g. the String of gets
    std::string line = zelt::inspect(result);
    if (timed) {
        char elapsed[48];
        std::snprintf(elapsed, sizeof elapsed, "  (%.3f s)", took.count());
        line += elapsed;
    }
    print_line(out, line);
    return status ? zelt_io::exit_status(call.name, !call.args.empty(), result, io) : 0;
}

// Load the extensions, wrap the stream and make the calls; returns the exit
// status. Raises; the stream is closed on every way out, and on a seekable
// one the offset left where the calls stopped reading.
int run(const Options &o, const Console &console) {
    zelt::require("wait");
    for (const std::string &name : o.extensions) zelt::require(name);
    check_methods(o.calls);
    const int fd = open_stream(o);
    zl_value io;
    try {
        io = zelt::io_new(fd);
    } catch (...) {
        if (!o.file.empty()) ::close(fd); // io_new leaves an invalid fd with us
        throw;
    }
    Owned owned;
    owned.adopt(io); // released, and so closed, at the end
    if (!o.read_ahead) zelt::io_set_read_ahead(io, false);
    int status = 0;
    for (const Call &call : o.calls) status = make_call(console.out(), io, call, o.time, o.status);
    return status;
}

void report_write_error(FILE *err, int e) {
    std::fprintf(err, "zelt-io: write error%s%s\n", e ? ": " : "", e ? std::strerror(e) : "");
}

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
    if (options.help || options.version) {
        errno = 0;
        std::fputs(options.help ? zelt_io::usage() : zelt_io::version(), stdout);
        if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
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
    } catch (const WriteError &e) {
        report_write_error(console.err(), e.err);
        return 1;
    } catch (const zelt::Error &e) {
        std::fflush(console.out());
        std::fprintf(console.err(), "zelt-io: %s: %s\n", e.class_name().c_str(),
                     e.message().c_str());
        return 1;
    } catch (const std::exception &e) { // e.g. out of memory: still a failed run, not a crash
        std::fflush(console.out());
        std::fprintf(console.err(), "zelt-io: %s\n", e.what());
        return 1;
    }
}
