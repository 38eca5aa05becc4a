// zelt-io: makes method calls on one stream, printing each result.
//
//   zelt-io [--fd N | --file PATH] [--time] [--require NAME]... CALL...
//
// Exit status 0 when every call returned, 1 when one raised, 2 on a usage
// error. See usage() in options.cpp for the whole text.
#include "call_parser.hpp" // Call, Arg
#include "options.hpp"     // parse_options, usage, version, UsageError

#include <zelt/embed.hpp> // require, io_new, call, inspect, release, Error

#include <algorithm> // std::find
#include <cerrno>    // errno, for zl_sys_fail
#include <chrono>    // steady_clock: a call's elapsed time
#include <cstdio>    // FILE, fdopen, fputs, fprintf, fflush, snprintf
#include <exception> // std::exception
#include <fcntl.h>   // open, fcntl, O_RDONLY, O_CLOEXEC, F_DUPFD_CLOEXEC
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

void print_line(FILE *out, const std::string &line) {
    std::fputs(line.c_str(), out);
    std::fputc('\n', out);
    std::fflush(out); // a peer watching sees each result as it comes
}

// Make CALL on IO and print its result; raises what the call raised.
void make_call(FILE *out, zl_value io, const Call &call, bool timed) {
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
}

// Load the extensions, wrap the stream and make the calls. Raises.
void run(const Options &o, const Console &console) {
    zelt::require("wait");
    for (const std::string &name : o.extensions) zelt::require(name);
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
    for (const Call &call : o.calls) make_call(console.out(), io, call, o.time);
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
        std::fputs(options.help ? zelt_io::usage() : zelt_io::version(), stdout);
        return 0;
    }
    const Console console(options);
    try {
        run(options, console);
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
    return 0;
}
