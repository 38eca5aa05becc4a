// options.cpp: zelt-io's options and CALLs, read before anything runs, so
// that a malformed command line makes no call at all.
#include "options.hpp"

#include "message_text.hpp" // quoted: an argument as a message shows it

#include <charconv>    // from_chars: a descriptor number, overflow reported
#include <cstdint>     // int64_t: an integer argument
#include <optional>    // an option's value
#include <string_view> // arguments
#include <utility>     // pair: the options several streams refuse
#include <variant>     // get_if: the integers among a CALL's arguments

namespace zelt_io {

const char *synopsis() {
    return "usage: zelt-io [--fd N | --file PATH] [--raw | --time] [--status]\n"
           "               [--within SECONDS] [--no-read-ahead] [--require NAME]... CALL...\n"
           "       zelt-io (--fd N | --file PATH)... [--status] wait[(LIMIT)]\n";
}

const char *usage() {
    return R"(usage: zelt-io [--fd N | --file PATH] [--raw | --time] [--status]
               [--within SECONDS] [--no-read-ahead] [--require NAME]... CALL...
       zelt-io (--fd N | --file PATH)... [--status] wait[(LIMIT)]

Loads the wait extension, wraps one stream in an IO object (standard input
unless told otherwise) and makes each CALL on it in order, printing each
result on its own line. Given two or more streams, waits up to LIMIT (none:
for ever) for input on any of them, and names each stream with input, or
at its end, on its own line, in the order given: "fd N" or "file PATH".

  --fd N          the stream is descriptor N
  --file PATH     the stream is the file PATH, opened for reading
  --write         open --file's PATH for writing instead (no file is made)
  --raw           write String results as their bytes, nothing added (no
                  quotes, no escapes, no newline); other results as without
                  it; read and read(n) write what they read as it comes, in
                  bounded memory
  --time          follow each result with the call's elapsed time
  --status        exit with a status that tells what the last call found
                  (see Exit status)
  --within SECONDS
                  before each CALL, wait up to SECONDS for input; when none
                  came (the limit passed, or the end), stop there, printing
                  nothing for the wait; implies --status
  --no-read-ahead read no byte past what each call asks for, so that the
                  next reader of the stream gets every byte after it (a
                  byte per read(2) on pipes and terminals; a peek, then a
                  read, on stream sockets)
  --require NAME  also load extension NAME: a bare name (letters, digits,
                  _ and -; no path, no .so), NAME.so looked for on
                  ZELT_EXT_PATH, then beside the runtime; may be repeated
  -h, --help      show this help
  --version       show zelt-io's version

A CALL is NAME or NAME(ARG, ...), an ARG an integer, a float (2.5, 1e-3,
Infinity, NaN), nil, true, false or a double-quoted string (escapes \n \t
\r \e \\ \" \xHH). Quote CALLs for the shell: 'ready?' 'wait(2.5)'.
Integers hold -2^61 to 2^61-1; a float past a double's range rounds, to 0
or Infinity. The IO methods: gets, read, read(n), eof?,
close, closed?, fileno, from the wait extension nread, ready?, wait,
wait(limit), and on a stream open for writing (--fd 1, --file PATH
--write) nwrite, writable?, wait_writable, wait_writable(limit),
wait_for(event) and wait_for(event, limit), the event one of "readable",
"writable", "priority", "hangup", "error". A method that IO does not have
is a usage error.

Exit status: 0 when every call returned; 1 when one raised (its class and
message on standard error, the calls after it not made), when the stream
or an extension could not be opened, or when a result could not be
written; 2 on a usage error. With --status, when every call
returned, the last call decides:
  0    input is waiting (wait gave the stream or true, ready? true, nread
       above 0, eof? false, gets or read a String), or the call tells
       nothing of input (close, fileno, ...)
  3    end of stream (eof? true, gets or read(n) nil, read an empty
       String, or wait nil, ready? false or nread 0 at the end)
  124  the limit passed with nothing waiting (wait nil, ready? false or
       nread 0, the stream not at its end); a write would wait
       (writable? false, wait_writable or wait_for nil)
  32   the reader has gone or the peer hung up: a write would fail
       (writable? nil, wait_writable false, nwrite on such a stream)
On several streams, the one CALL is wait or wait(LIMIT), and --raw, --time,
--within and --no-read-ahead are usage errors, as is a descriptor given
twice or a path with a newline. Nothing is read from the streams but what
--status needs to tell a stream at its end (a file's given back). The wait
prints nothing when the limit passed, and --status gives: 0 when one of the
streams named has input waiting, 3 when each one named is at its end, 124
when the limit passed.
Where the kernel does not count a stream's bytes (/dev/null, /dev/zero, a
hung-up terminal, a listening socket), --status gives what the stream holds,
even for a wait that raised (it prints nothing then). Killed by SIGPIPE
(141 in the shell) when the reader of the results went away, after the
stream is closed.

Example: (sleep 1; echo hi) | zelt-io --time 'wait(2.5)' nread gets
A line loop step: line=$(zelt-io --raw --no-read-ahead --within 5 gets)
Which FIFO spoke: zelt-io --status --file a.fifo --file b.fifo 'wait(10)'
)";
}

const char *version() { return "zelt-io " ZELT_IO_VERSION "\n"; } // the CMake project's version

namespace {

// "--name VALUE" or "--name=VALUE" at ARGV[*i]; advances *i past the value.
std::optional<std::string_view> option_value(std::string_view name, int argc,
                                             const char *const *argv, int *i) {
    std::string_view arg = argv[*i];
    if (arg == name) {
        if (*i + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
        return argv[++*i];
    }
    if (arg.size() > name.size() && arg.substr(0, name.size()) == name && arg[name.size()] == '=')
        return arg.substr(name.size() + 1);
    return std::nullopt;
}

// --within's SECONDS: a number, as a CALL's argument is written.
Arg seconds(std::string_view text) {
    std::optional<Call> call;
    try {
        call = parse_call("wait(" + std::string(text) + ")");
    } catch (const ParseError &) {
    }
    if (!call || call->args.size() != 1 ||
        !(std::holds_alternative<std::int64_t>(call->args[0]) ||
          std::holds_alternative<double>(call->args[0])))
        throw UsageError("--within takes a number of seconds, not " + quoted(text));
    return call->args[0];
}

int descriptor_number(std::string_view text) {
    int fd = -1;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), fd);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || fd < 0)
        throw UsageError("--fd takes a descriptor number, not " + quoted(text));
    return fd;
}

// The first of -h, --help and --version before any "--", or empty: each
// answers alone, whatever else the line holds.
std::string_view info_option(int argc, const char *const *argv) {
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--") break;
        if (arg == "-h" || arg == "--help" || arg == "--version") return arg;
    }
    return {};
}

// What an Integer holds: n as 2n+1 in one 64-bit word.
constexpr std::int64_t kIntegerMax = (std::int64_t{1} << 61) - 1;
constexpr std::int64_t kIntegerMin = -kIntegerMax - 1;

// An integer no Integer holds is refused here, before any call runs.
void check_integers(const Call &call, std::string_view text) {
    for (const Arg &arg : call.args) {
        const auto *n = std::get_if<std::int64_t>(&arg);
        if (n && (*n < kIntegerMin || *n > kIntegerMax))
            throw UsageError("integer " + std::to_string(*n) + " in " + quoted(text) +
                             " is out of range (-2^61 to 2^61-1)");
    }
}

// Several streams get one wait on them all, which names the ready ones on
// its lines: one CALL, wait or wait(LIMIT), and none of the options that
// shape a call's result or make several calls.
void check_several(const Options &o) {
    if (o.calls.size() != 1 || o.calls[0].name != "wait" || o.calls[0].args.size() > 1)
        throw UsageError("on several streams, the one CALL is wait or wait(LIMIT)");
    for (const auto &[set, name] : {std::pair{o.raw, "--raw"},
                                    {o.time, "--time"},
                                    {o.within.has_value(), "--within"},
                                    {!o.read_ahead, "--no-read-ahead"}})
        if (set) throw UsageError(std::string(name) + " takes one stream, not several");
    for (std::size_t i = 0; i < o.several.size(); ++i) {
        const Source &s = o.several[i];
        if (s.file.find('\n') != std::string::npos) // its name would not fit on its line
            throw UsageError("--file " + quoted(s.file) +
                             " on several streams: a newline in a path");
        for (std::size_t j = 0; j < i; ++j)
            if (s.file.empty() && o.several[j].file.empty() && o.several[j].fd == s.fd)
                throw UsageError("--fd " + std::to_string(s.fd) + " given twice");
    }
}

} // namespace

Options parse_options(int argc, const char *const *argv) {
    Options o;
    if (std::string_view info = info_option(argc, argv); !info.empty()) {
        o.version = info == "--version";
        o.help = !o.version;
        return o;
    }
    bool options_ended = false;
    std::vector<Source> streams; // each --fd and --file, in order
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (options_ended || arg.empty() || arg[0] != '-') {
            try {
                o.calls.push_back(parse_call(arg));
            } catch (const ParseError &e) {
                throw UsageError("malformed CALL " + quoted(arg) + ": " + e.what());
            }
            check_integers(o.calls.back(), arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--time") {
            o.time = true;
        } else if (arg == "--raw") {
            o.raw = true;
        } else if (arg == "--status") {
            o.status = true;
        } else if (arg == "--write") {
            o.write = true;
        } else if (arg == "--no-read-ahead") {
            o.read_ahead = false;
        } else if (auto fd = option_value("--fd", argc, argv, &i)) {
            streams.push_back({descriptor_number(*fd), {}});
        } else if (auto path = option_value("--file", argc, argv, &i)) {
            if (path->empty()) throw UsageError("--file needs a path");
            streams.push_back({0, std::string(*path)});
        } else if (auto limit = option_value("--within", argc, argv, &i)) {
            o.within = seconds(*limit);
            check_integers(Call{"wait", {*o.within}}, *limit);
            o.status = true; // it stops at nothing found: the status tells which
        } else if (auto name = option_value("--require", argc, argv, &i)) {
            o.extensions.emplace_back(*name);
        } else {
            throw UsageError("unknown option " + quoted(arg));
        }
    }
    if (o.calls.empty()) throw UsageError("no CALL given");
    if (o.raw && o.time)
        throw UsageError("--raw and --time do not go together: a time would join a String's bytes");
    if (o.write && (streams.size() != 1 || streams[0].file.empty()))
        throw UsageError("--write opens --file for writing; --fd takes the descriptor's own mode");
    if (streams.size() == 1) {
        o.fd = streams[0].fd;
        o.file = streams[0].file;
    } else if (streams.size() > 1) {
        o.several = std::move(streams);
        check_several(o);
    }
    return o;
}

} // namespace zelt_io
