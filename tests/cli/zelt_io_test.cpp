// zelt-io end to end: the built binary run in a child process on real
// streams, its standard output, standard error and exit status checked.
#include "subprocess.hpp" // Child, run, Outcome

#include <kernel.hpp> // zt::Fd, make_pipe, make_socketpair, make_pty, regular_file

#include <gmock/gmock.h> // StartsWith, HasSubstr, MatchesRegex
#include <gtest/gtest.h> // TEST, TEST_P

#include <chrono>   // time limits, the peer's delay
#include <cstdlib>  // mkstemp
#include <fcntl.h>  // open
#include <ostream>  // PrintTo
#include <regex>    // a timed result line
#include <thread>   // sleep_for: the peer that writes later
#include <unistd.h> // unlink, close, pread

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::StartsWith;

const std::string kZeltIo = ZELT_IO_PATH;

// The stream the child gets.
enum class Input {
    Pipe,      // data written, writer kept open: no end of stream
    PipeAtEnd, // data written, writer closed
    Socket,    // a socket pair, peer kept open
    Pty,       // the terminal side of a pseudo-terminal in raw mode
    File,      // a regular file holding the data
    DevNull,   // /dev/null, open for reading
    WriteOnly, // the write end of a pipe
};

// The test's ends of the child's stream, kept open while the child runs.
struct Stream {
    zt::Fd child; // handed to the child
    zt::Fd peer;  // the other end, if any
};

Stream make_stream(Input input, const std::string &data) {
    auto connected = [&](zt::Ends ends) {
        if (!data.empty()) zt::write_all(ends.peer.get(), data);
        return Stream{std::move(ends.near), std::move(ends.peer)};
    };
    switch (input) {
    case Input::Pipe: return connected(zt::make_pipe());
    case Input::PipeAtEnd: {
        Stream s = connected(zt::make_pipe());
        s.peer.reset();
        return s;
    }
    case Input::Socket: return connected(zt::make_socketpair());
    case Input::Pty: return connected(zt::make_pty());
    case Input::File: return Stream{zt::regular_file(data), {}};
    case Input::DevNull: return Stream{zt::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), {}};
    case Input::WriteOnly: {
        zt::Ends pipe = zt::make_pipe();
        return Stream{std::move(pipe.peer), std::move(pipe.near)};
    }
    }
    return {};
}

// One run of zelt-io: its stream, its arguments and what it must give.
struct Case {
    const char *name;
    Input input;
    std::string data;
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err; // standard error is one line starting with this, or empty when this is
    int at_fd = 0; // the child's descriptor for the stream (standard input is /dev/null otherwise)
};

std::string case_name(const testing::TestParamInfo<Case> &info) { return info.param.name; }
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; } // for test names and failures

void expect_outcome(const zt::Outcome &o, const Case &c) {
    EXPECT_EQ(o.exit_code, c.status) << zt::describe(o);
    EXPECT_EQ(o.out, c.out) << zt::describe(o);
    if (c.err.empty()) {
        EXPECT_EQ(o.err, "") << zt::describe(o);
    } else {
        EXPECT_THAT(o.err, StartsWith(c.err)) << zt::describe(o);
        EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "not one line: " << zt::describe(o);
    }
}

class ZeltIo : public testing::TestWithParam<Case> {};

TEST_P(ZeltIo, PrintsEachResultOrTheErrorThatStoppedIt) {
    const Case &c = GetParam();
    Stream stream = make_stream(c.input, c.data);
    expect_outcome(zt::run(kZeltIo, c.args, {{c.at_fd, stream.child.get()}}), c);
}

const std::string kEnotty = "zelt-io: SystemCallError: ENOTTY: Inappropriate ioctl for device\n";

// clang-format off
const Case kStreams[] = {
    {"PipeWithData", Input::Pipe, "hello\n", {"nread", "ready?", "wait(0)"}, 0, "6\ntrue\n#<IO:fd 0>\n", ""},
    {"EmptyPipe", Input::Pipe, "", {"nread", "ready?", "wait(0)"}, 0, "0\nfalse\nnil\n", ""},
    {"ReadAhead", Input::Pipe, "first\nsecond\n", {"gets", "nread", "ready?", "wait", "gets", "nread"}, 0,
     "\"first\\n\"\n7\ntrue\ntrue\n\"second\\n\"\n0\n", ""},
    {"EndOfStream", Input::PipeAtEnd, "", {"ready?", "nread", "wait", "gets"}, 0, "false\n0\nnil\nnil\n", ""},
    {"SocketPair", Input::Socket, "ping", {"nread", "wait(5)", "read(4)", "ready?"}, 0,
     "4\n#<IO:fd 0>\n\"ping\"\nfalse\n", ""},
    {"Pty", Input::Pty, "abc", {"wait(5)", "nread"}, 0, "#<IO:fd 0>\n3\n", ""},
    {"RegularFile", Input::File, "abcdef", {"nread", "read(2)", "nread", "wait"}, 0, "6\n\"ab\"\n4\ntrue\n", ""},
    {"DevNull", Input::DevNull, "", {"ready?", "nread", "wait", "nread"}, 1, "nil\n0\n", kEnotty},
    {"WriteOnlyInput", Input::WriteOnly, "", {"nread"}, 1, "", "zelt-io: IOError: not opened for reading\n"},
    {"ClosedStream", Input::Pipe, "data\n", {"closed?", "close", "closed?", "nread", "ready?"}, 1,
     "false\nnil\ntrue\n", "zelt-io: IOError: closed stream\n"},
    {"FdOption", Input::Pipe, "abc", {"--fd", "5", "nread", "fileno"}, 0, "3\n5\n", "", 5},
    {"FdOptionWithEquals", Input::Pipe, "abc", {"fileno", "--fd=7", "nread"}, 0, "7\n3\n", "", 7},
    {"FdNotOpen", Input::Pipe, "abc", {"--fd", "900", "nread"}, 1, "", "zelt-io: SystemCallError: EBADF"},
    {"FileMissing", Input::Pipe, "abc", {"--file", "/nonexistent/zelt-io", "nread"}, 1, "",
     "zelt-io: SystemCallError: ENOENT"},
    {"MissingExtension", Input::Pipe, "abc", {"--require", "no_such_extension", "nread"}, 1, "",
     "zelt-io: LoadError: cannot find extension no_such_extension.so"},
    {"ExtensionNameWithSlash", Input::Pipe, "abc", {"--require", "../wait", "nread"}, 1, "",
     "zelt-io: LoadError: "},
    {"WaitRequiredAgain", Input::Pipe, "abc", {"--require", "wait", "nread"}, 0, "3\n", ""},
    {"UnknownMethod", Input::Pipe, "abc", {"nread", "frob", "nread"}, 1, "3\n", "zelt-io: NoMethodError: "},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Streams, ZeltIo, testing::ValuesIn(kStreams), case_name);

// On an empty pipe whose writer stays open: a limit wrongly accepted would
// wait until the child's time limit, and show as a time-out.
// clang-format off
const Case kArgumentErrors[] = {
    {"TwoLimits", Input::Pipe, "", {"wait(1, 2)"}, 1, "", "zelt-io: ArgumentError: "},
    {"NegativeLimit", Input::Pipe, "", {"wait(-1)"}, 1, "", "zelt-io: ArgumentError: "},
    {"NegativeInfinity", Input::Pipe, "", {"wait(-Infinity)"}, 1, "", "zelt-io: ArgumentError: "},
    {"NaNLimit", Input::Pipe, "", {"wait(NaN)"}, 1, "", "zelt-io: ArgumentError: "},
    {"HugeLimit", Input::Pipe, "", {"wait(1e300)"}, 1, "", "zelt-io: RangeError: "},
    {"InfiniteLimit", Input::Pipe, "", {"wait(Infinity)"}, 1, "", "zelt-io: RangeError: "},
    {"TrueLimit", Input::Pipe, "", {"wait(true)"}, 1, "", "zelt-io: TypeError: "},
    {"FalseLimit", Input::Pipe, "", {"wait(false)"}, 1, "", "zelt-io: TypeError: "},
    {"StringLimit", Input::Pipe, "", {R"(wait("1\n"))"}, 1, "", "zelt-io: TypeError: "},
    {"IntegerBeyondImmediates", Input::Pipe, "", {"wait(4611686018427387904)"}, 1, "", "zelt-io: RangeError: "},
    {"ArgumentToNread", Input::Pipe, "abc", {"nread(1)"}, 1, "", "zelt-io: ArgumentError: "},
    {"ArgumentToReady", Input::Pipe, "abc", {"nread", "ready?(nil)", "nread"}, 1, "3\n", "zelt-io: ArgumentError: "},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(ArgumentErrors, ZeltIo, testing::ValuesIn(kArgumentErrors), case_name);

// A command line refused as a whole: usage on standard error, status 2, and
// no call made, not even those before the fault.
class UsageError : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(UsageError, PrintsUsageAndMakesNoCall) {
    Stream stream = make_stream(Input::Pipe, "abc\n");
    zt::Outcome o = zt::run(kZeltIo, GetParam(), {{0, stream.child.get()}});
    EXPECT_EQ(o.exit_code, 2) << zt::describe(o);
    EXPECT_EQ(o.out, "") << zt::describe(o);
    EXPECT_THAT(o.err, StartsWith("zelt-io: ")) << zt::describe(o);
    EXPECT_THAT(o.err, HasSubstr("\nusage: zelt-io [")) << zt::describe(o);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsageError,
    testing::Values(
        std::vector<std::string>{}, std::vector<std::string>{"--time"},
        std::vector<std::string>{"nread", "wait("}, std::vector<std::string>{"nread", "wait(1,)"},
        std::vector<std::string>{"wait(99999999999999999999)"},
        std::vector<std::string>{"nread", R"(wait("open)"}, std::vector<std::string>{"nread", ""},
        std::vector<std::string>{"--bogus", "nread"}, std::vector<std::string>{"nread", "-x"},
        std::vector<std::string>{"nread", "--fd"}, std::vector<std::string>{"--fd", "x", "nread"},
        std::vector<std::string>{"--fd", "-1", "nread"},
        std::vector<std::string>{"--fd", "99999999999", "nread"},
        std::vector<std::string>{"--fd", "3", "--file", "/dev/null", "nread"},
        std::vector<std::string>{"--file=", "nread"}, std::vector<std::string>{"--require"},
        std::vector<std::string>{"--", "--version"}));

class Help : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(Help, PrintsUsageOnStandardOutput) {
    zt::Outcome o = zt::run(kZeltIo, GetParam());
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_THAT(o.out, StartsWith("usage: zelt-io [")) << zt::describe(o);
    EXPECT_THAT(o.out, HasSubstr("--time")) << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
}

INSTANTIATE_TEST_SUITE_P(Table, Help,
                         testing::Values(std::vector<std::string>{"--help"},
                                         std::vector<std::string>{"-h"},
                                         std::vector<std::string>{"nread", "--help"},
                                         std::vector<std::string>{"wait(", "--bogus", "--help"},
                                         std::vector<std::string>{"--help", "--version"}));

// --version: the project's version alone, whatever else the line holds; a
// --help before it wins, as one after it loses.
class Version : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(Version, PrintsTheProjectVersion) {
    zt::Outcome o = zt::run(kZeltIo, GetParam());
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, "zelt-io " ZELT_IO_VERSION "\n") << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
}

INSTANTIATE_TEST_SUITE_P(Table, Version,
                         testing::Values(std::vector<std::string>{"--version"},
                                         std::vector<std::string>{"nread", "--version"},
                                         std::vector<std::string>{"wait(", "--version", "--help"}));

// A temporary file by name, removed at scope exit.
struct NamedFile {
    std::string path = "/tmp/zelt-io-test-XXXXXX";
    explicit NamedFile(std::string_view contents) {
        zt::Fd fd(::mkstemp(path.data()));
        zt::write_all(fd.get(), contents);
    }
    ~NamedFile() { ::unlink(path.c_str()); }
};

TEST(ZeltIoFile, ReadsTheNamedFile) {
    NamedFile file("abcdef");
    zt::Outcome o = zt::run(kZeltIo, {"--file", file.path, "nread", "read(3)", "nread", "closed?"});
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, "6\n\"abc\"\n3\nfalse\n") << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
}

// The stream is zelt-io's own standard output or error: a regular file
// open for reading and writing, which the calls read and close and into
// which zelt-io still writes its last line.
struct OwnOutputCase {
    const char *name;
    int at_fd; // 1 or 2
    std::vector<std::string> calls;
    int status;
    std::string in_file;  // what zelt-io wrote to the file
    std::string captured; // the other standard stream
};

void PrintTo(const OwnOutputCase &c, std::ostream *os) { *os << c.name; }

// clang-format off
const OwnOutputCase kOwnOutputs[] = {
    {"ErrorWhileUnwinding", 2, {"nread", "read(-1)"}, 1,
     "zelt-io: ArgumentError: negative length -1 given\n", "0\n"},
    {"ErrorAfterACloseOfStandardError", 2, {"close", "nread"}, 1,
     "zelt-io: IOError: closed stream\n", "nil\n"},
    {"ResultsAfterACloseOfStandardOutput", 1, {"close", "closed?"}, 0, "nil\ntrue\n", ""},
};
// clang-format on

class ZeltIoOnItsOwnOutput : public testing::TestWithParam<OwnOutputCase> {};

TEST_P(ZeltIoOnItsOwnOutput, KeepsItOpenUntilTheLastLine) {
    const OwnOutputCase &c = GetParam();
    NamedFile file("");
    zt::Fd stream(::open(file.path.c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_GE(stream.get(), 0);
    std::vector<std::string> args{"--fd", std::to_string(c.at_fd)};
    args.insert(args.end(), c.calls.begin(), c.calls.end());
    zt::Outcome o = zt::run(kZeltIo, args, {{c.at_fd, stream.get()}});
    EXPECT_EQ(o.exit_code, c.status) << zt::describe(o);
    EXPECT_EQ(c.at_fd == 1 ? o.err : o.out, c.captured) << zt::describe(o);
    std::string written(256, '\0');
    const ssize_t got = ::pread(stream.get(), written.data(), written.size(), 0);
    written.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    EXPECT_EQ(written, c.in_file);
}

INSTANTIATE_TEST_SUITE_P(Table, ZeltIoOnItsOwnOutput, testing::ValuesIn(kOwnOutputs),
                         [](const auto &info) { return std::string(info.param.name); });

// "RESULT  (S.SSS s)": the result and the seconds the call took.
struct Timed {
    std::string result;
    double seconds = -1;
};

std::vector<Timed> timed_lines(const std::string &out) {
    static const std::regex line(R"((.+)  \((\d+\.\d{3}) s\))");
    std::vector<Timed> lines;
    std::size_t from = 0;
    for (std::size_t nl; (nl = out.find('\n', from)) != std::string::npos; from = nl + 1) {
        std::smatch m;
        std::string text = out.substr(from, nl - from);
        if (std::regex_match(text, m, line))
            lines.push_back({m[1], std::stod(m[2])});
        else
            lines.push_back({text, -1});
    }
    return lines;
}

TEST(ZeltIoTime, EveryResultLineCarriesItsElapsedTime) {
    Stream stream = make_stream(Input::Pipe, "abc\n");
    zt::Outcome o =
        zt::run(kZeltIo, {"--time", "nread", "gets", "close"}, {{0, stream.child.get()}});
    ASSERT_EQ(o.exit_code, 0) << zt::describe(o);
    std::vector<Timed> lines = timed_lines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    const char *results[] = {"4", "\"abc\\n\"", "nil"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(lines[i].result, results[i]);
        EXPECT_GE(lines[i].seconds, 0) << o.out;
        EXPECT_LT(lines[i].seconds, 2) << o.out;
    }
}

TEST(ZeltIoTime, WaitOnASilentPeerTakesItsLimit) {
    Stream stream = make_stream(Input::Pipe, "");
    zt::Outcome o = zt::run(kZeltIo, {"--time", "wait(0.3)"}, {{0, stream.child.get()}});
    ASSERT_EQ(o.exit_code, 0) << zt::describe(o);
    std::vector<Timed> lines = timed_lines(o.out);
    ASSERT_EQ(lines.size(), 1u) << o.out;
    EXPECT_EQ(lines[0].result, "nil");
    EXPECT_GE(lines[0].seconds, 0.25) << o.out;
    EXPECT_LT(lines[0].seconds, 2.5) << o.out;
}

// Each result reaches a peer watching the output while the next call still
// runs, and a wait returns when a peer writes, long before its limit.
TEST(ZeltIoLive, ResultsArriveAsTheyComeAndWaitEndsWhenThePeerWrites) {
    Stream stream = make_stream(Input::Pipe, "");
    zt::Child child(kZeltIo, {"--time", "nread", "wait(20)", "gets"}, {{0, stream.child.get()}});
    // the child now blocks in wait(20): the first line must be out already
    std::string first = child.read_stdout_until("\n", 10s);
    EXPECT_THAT(first, testing::MatchesRegex("0  \\([0-9.]+ s\\)\n"));
    std::this_thread::sleep_for(300ms); // the behaviour under test: a peer writing later
    zt::write_all(stream.peer.get(), "late\n");
    zt::Outcome o = child.finish(15s);
    ASSERT_EQ(o.exit_code, 0) << zt::describe(o);
    std::vector<Timed> lines = timed_lines(o.out);
    ASSERT_EQ(lines.size(), 3u) << o.out;
    EXPECT_EQ(lines[1].result, "#<IO:fd 0>");
    EXPECT_GE(lines[1].seconds, 0.1) << o.out; // it did wait for the peer
    EXPECT_LT(lines[1].seconds, 10) << o.out;  // and not for its limit
    EXPECT_EQ(lines[2].result, "\"late\\n\"");
}

} // namespace
