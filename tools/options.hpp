// options.hpp: zelt-io's command line, read into Options or refused.
#pragma once

#include "call_parser.hpp" // Call

#include <optional>  // --within's limit
#include <stdexcept> // std::runtime_error
#include <string>    // paths, extension names
#include <vector>    // requires, calls

namespace zelt_io {

// A stream as the command line names it: --fd N or --file PATH.
struct Source {
    int fd = 0;       // when no file
    std::string file; // a path, opened for reading
    std::string name() const { return file.empty() ? "fd " + std::to_string(fd) : "file " + file; }
};

struct Options {
    bool help = false;         // --help: usage on standard output, nothing else
    bool version = false;      // --version: "zelt-io X.Y.Z" on standard output, nothing else
    int fd = 0;                // the stream, when no --file names one
    std::string file;          // --file PATH, opened for reading
    bool write = false;        // --write: --file opened for writing instead
    bool time = false;         // --time: each result followed by its call's elapsed time
    bool raw = false;          // --raw: String results written as their bytes, read streamed
    bool status = false;       // --status: the exit status tells what the last call found
    std::optional<Arg> within; // --within S: each call made only once input came within S seconds
    bool read_ahead = true;    // --no-read-ahead clears it: reads take no byte past the call's
    std::vector<std::string> extensions; // --require NAME, loaded in order after wait
    std::vector<Call> calls;             // made in order on the stream
    std::vector<Source> several; // two or more --fd/--file: one wait on them all, the calls' one
};

// A command line that cannot be run as given (exit status 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The one-line synopsis, the whole usage text and the version line; each
// ends in a newline.
const char *synopsis();
const char *usage();
const char *version();

// Read ARGV[1..ARGC). Options may come before, between or after the CALLs
// (no CALL begins with '-'); "--" ends the options. One --fd or --file sets
// fd or file; two or more go to several, whose one CALL is wait or
// wait(LIMIT) (check_several in options.cpp). --help or --version,
// whichever comes first, stands for the whole line. Throws UsageError.
Options parse_options(int argc, const char *const *argv);

} // namespace zelt_io
