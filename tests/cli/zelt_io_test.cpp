// zelt-io end to end: the built binary run in a child process on real
// streams, its standard output, standard error and exit status checked.
#include "subprocess.hpp" // Child, run, Outcome

#include <kernel.hpp> // zt::Fd, make_pipe, make_socketpair, make_pty, regular_file

#include <gmock/gmock.h> // StartsWith, HasSubstr, MatchesRegex
#include <gtest/gtest.h> // TEST, TEST_P

#include <chrono>        // time limits, the peer's delay
#include <csignal>       // kill, SIGSTOP, SIGCONT
#include <cstdlib>       // mkstemp
#include <fcntl.h>       // open
#include <fstream>       // /proc/PID/syscall
#include <map>           // the child's descriptors
#include <netinet/in.h>  // sockaddr_in: a listening socket on loopback
#include <ostream>       // PrintTo
#include <poll.h>        // poll: a terminal's input has arrived
#include <regex>         // a timed result line
#include <sys/ioctl.h>   // ioctl, FIONREAD: what a stream has left
#include <sys/socket.h>  // socketpair: datagrams; socket, listen, connect
#include <sys/stat.h>    // fstat: a regular file's offset, not its count
#include <sys/syscall.h> // SYS_ppoll
#include <thread>        // sleep_for: the peer that writes later
#include <unistd.h>      // unlink, close, pread, lseek, getpid
#include <utility>       // pair: a stream's kind and data

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals; // data with NUL bytes in it
using testing::HasSubstr;
using testing::StartsWith;

const std::string kZeltIo = ZELT_IO_PATH;

// The stream the child gets.
enum class Input {
    Pipe,          // data written, writer kept open: no end of stream
    PipeAtEnd,     // data written, writer closed
    Socket,        // a socket pair, peer kept open
    SocketAtEnd,   // a socket pair, data written, peer closed
    TcpAtEnd,      // loopback TCP, data written, peer closed
    Datagrams,     // a datagram socket pair, each line of the data a datagram, peer kept open
    Pty,           // the terminal side of a pseudo-terminal in raw mode
    File,          // a regular file holding the data
    DevNull,       // /dev/null, open for reading
    DevZero,       // /dev/zero: input that never ends, and that the kernel does not count
    HungUpPty,     // the terminal side of a pseudo-terminal whose controller is closed
    Listening,     // a listening loopback socket with a connection waiting to be accepted
    ListeningIdle, // a listening loopback socket with no connection
    WriteOnly,     // the write end of a pipe
};

// The test's ends of the child's stream, kept open while the child runs.
struct Stream {
    zt::Fd child; // handed to the child
    zt::Fd peer;  // the other end, if any
};

// A listening socket on loopback, and, when CONNECT, a client connected to
// it and not yet accepted.
Stream make_listening(bool connect) {
    zt::Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto *any = reinterpret_cast<sockaddr *>(&addr);
    if (::bind(listener.get(), any, len) != 0 || ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), any, &len) != 0)
        ADD_FAILURE() << "listening socket";
    if (!connect) return Stream{std::move(listener), {}};
    zt::Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client.get(), any, len) != 0) ADD_FAILURE() << "connect";
    return Stream{std::move(listener), std::move(client)};
}

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
    case Input::SocketAtEnd:
    case Input::TcpAtEnd: {
        Stream s = connected(input == Input::TcpAtEnd ? zt::make_tcp() : zt::make_socketpair());
        s.peer.reset();
        return s;
    }
    case Input::Datagrams: {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv) != 0)
            ADD_FAILURE() << "socketpair";
        Stream s{zt::Fd(sv[0]), zt::Fd(sv[1])};
        for (std::size_t from = 0, nl; (nl = data.find('\n', from)) != std::string::npos;
             from = nl + 1)
            zt::write_all(s.peer.get(), data.substr(from, nl + 1 - from)); // a datagram a line
        return s;
    }
    case Input::Pty: {
        Stream s = connected(zt::make_pty());
        pollfd arrived = {s.child.get(), POLLIN, 0}; // the terminal takes its input a moment later
        if (!data.empty() && ::poll(&arrived, 1, 5000) != 1) ADD_FAILURE() << "no input on the pty";
        return s;
    }
    case Input::File: return Stream{zt::regular_file(data), {}};
    case Input::DevNull: return Stream{zt::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC)), {}};
    case Input::DevZero: return Stream{zt::Fd(::open("/dev/zero", O_RDONLY | O_CLOEXEC)), {}};
    case Input::HungUpPty: {
        Stream s = connected(zt::make_pty());
        s.peer.reset(); // the controller gone: the terminal hung up
        return s;
    }
    case Input::Listening:
    case Input::ListeningIdle: return make_listening(input == Input::Listening);
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
    {"TinyLimitIsZero", Input::Pipe, "", {"wait(1e-400)", "wait(-1e-400)"}, 0, "nil\nnil\n", ""},
    {"InvalidUtf8Escaped", Input::Pipe, "h\xc3\xa9\xff\xe2\x82!\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\n", {"gets"}, 0,
     "\"h\xc3\xa9\\xFF\\xE2\\x82!\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\n\"\n", ""},
    {"ValidUtf8Kept", Input::Pipe, "\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0\n", {"gets"}, 0,
     "\"\xe2\x82\xac\xf0\x9f\x98\x80\xc2\xa0\\n\"\n", ""},
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
    {"ArgumentToNread", Input::Pipe, "abc", {"nread(1)"}, 1, "", "zelt-io: ArgumentError: "},
    {"ArgumentToReady", Input::Pipe, "abc", {"nread", "ready?(nil)", "nread"}, 1, "3\n", "zelt-io: ArgumentError: "},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(ArgumentErrors, ZeltIo, testing::ValuesIn(kArgumentErrors), case_name);

// eof? on each kind of stream: it answers at once where input waits or
// the stream has ended.
// clang-format off
const Case kEof[] = {
    {"EofWithData", Input::Pipe, "abc", {"eof?", "nread", "read(3)"}, 0, "false\n3\n\"abc\"\n", ""},
    {"EofAtEndOfPipe", Input::PipeAtEnd, "", {"eof?"}, 0, "true\n", ""},
    {"EofAfterTheLastByte", Input::PipeAtEnd, "ab", {"eof?", "read(2)", "eof?"}, 0, "false\n\"ab\"\ntrue\n", ""},
    {"EofOnAClosedSocket", Input::SocketAtEnd, "", {"eof?"}, 0, "true\n", ""},
    {"EofOnTcp", Input::TcpAtEnd, "x", {"eof?", "gets", "eof?"}, 0, "false\n\"x\"\ntrue\n", ""},
    {"EofOnAPty", Input::Pty, "k", {"eof?"}, 0, "false\n", ""},
    {"EofOnAFile", Input::File, "abc", {"eof?", "read(3)", "eof?"}, 0, "false\n\"abc\"\ntrue\n", ""},
    {"EofOnDevNull", Input::DevNull, "", {"eof?"}, 0, "true\n", ""},
    {"EofOnAClosedStream", Input::Pipe, "abc", {"close", "eof?"}, 1, "nil\n", "zelt-io: IOError: closed stream\n"},
    {"EofOnWriteOnly", Input::WriteOnly, "", {"eof?"}, 1, "", "zelt-io: IOError: not opened for reading\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Eof, ZeltIo, testing::ValuesIn(kEof), case_name);

// --status: the exit status tells what the last call found; without it a
// script that checks for 0 sees 0 whatever the last call found.
// clang-format off
const Case kStatuses[] = {
    {"WaitFindsInput", Input::Pipe, "x", {"--status", "wait(5)"}, 0, "#<IO:fd 0>\n", ""},
    {"WaitFindsBufferedInput", Input::Pipe, "a\nb\n", {"--status", "gets", "wait(0)"}, 0, "\"a\\n\"\ntrue\n", ""},
    {"WaitLimitPasses", Input::Pipe, "", {"--status", "wait(0.05)"}, 124, "nil\n", ""},
    {"WaitAtTheEnd", Input::PipeAtEnd, "", {"--status", "wait(5)"}, 3, "nil\n", ""},
    {"WaitAtTheEndWithoutStatus", Input::PipeAtEnd, "", {"wait(5)"}, 0, "nil\n", ""},
    {"WaitLimitOnASocket", Input::Socket, "", {"--status", "wait(0.05)"}, 124, "nil\n", ""},
    {"WaitAtTheEndOfTcp", Input::TcpAtEnd, "", {"--status", "wait"}, 3, "nil\n", ""},
    {"WaitLimitOnAPty", Input::Pty, "", {"--status", "wait(0.05)"}, 124, "nil\n", ""},
    {"ReadyOnAnEmptyPipe", Input::Pipe, "", {"--status", "ready?"}, 124, "false\n", ""},
    {"ReadyAtTheEnd", Input::PipeAtEnd, "", {"--status", "ready?"}, 3, "false\n", ""},
    {"ReadyOnDevNull", Input::DevNull, "", {"--status", "ready?"}, 3, "nil\n", ""},
    {"ReadyWithInput", Input::Socket, "x", {"--status", "ready?"}, 0, "true\n", ""},
    {"NreadZero", Input::Pipe, "", {"--status", "nread"}, 124, "0\n", ""},
    {"NreadAtTheEnd", Input::SocketAtEnd, "", {"--status", "nread"}, 3, "0\n", ""},
    {"NreadCounts", Input::Pipe, "ab", {"--status", "nread"}, 0, "2\n", ""},
    {"EofTrue", Input::PipeAtEnd, "", {"--status", "eof?"}, 3, "true\n", ""},
    {"EofFalse", Input::Pipe, "a", {"--status", "eof?"}, 0, "false\n", ""},
    {"GetsALine", Input::PipeAtEnd, "a\n", {"--status", "gets"}, 0, "\"a\\n\"\n", ""},
    {"GetsAtTheEnd", Input::PipeAtEnd, "a\n", {"--status", "gets", "gets"}, 3, "\"a\\n\"\nnil\n", ""},
    {"ReadAllAtTheEnd", Input::File, "", {"--status", "read"}, 3, "\"\"\n", ""},
    {"ReadAllSomething", Input::File, "z", {"--status", "read"}, 0, "\"z\"\n", ""},
    {"ReadNothingAsked", Input::File, "", {"--status", "read(0)"}, 0, "\"\"\n", ""},
    {"LastCallTellsNothing", Input::PipeAtEnd, "", {"--status", "eof?", "fileno"}, 0, "true\n0\n", ""},
    {"ErrorStaysOne", Input::PipeAtEnd, "", {"--status", "close", "wait"}, 1, "nil\n", "zelt-io: IOError: closed stream\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Status, ZeltIo, testing::ValuesIn(kStatuses), case_name);

// --status on streams whose bytes the kernel does not count, where nread
// says 0 and ready? nil whatever is there, and wait raises (the extension's
// ENOTTY, EIO, EINVAL, kept without --status): the status is what the
// stream holds. The rows of the table in README and zelt-io(1).
// clang-format off
const Case kStreamKinds[] = {
    {"DevNullWait", Input::DevNull, "", {"--status", "wait(5)", "nread"}, 3, "", ""},
    {"DevNullReady", Input::DevNull, "", {"--status", "ready?"}, 3, "nil\n", ""},
    {"DevNullNread", Input::DevNull, "", {"--status", "nread"}, 3, "0\n", ""},
    {"DevNullEof", Input::DevNull, "", {"--status", "eof?"}, 3, "true\n", ""},
    {"DevZeroWait", Input::DevZero, "", {"--status", "wait(5)"}, 0, "", ""},
    {"DevZeroReady", Input::DevZero, "", {"--status", "ready?"}, 0, "nil\n", ""},
    {"DevZeroNread", Input::DevZero, "", {"--status", "nread"}, 0, "0\n", ""},
    {"DevZeroEof", Input::DevZero, "", {"--status", "eof?"}, 0, "false\n", ""},
    {"HungUpPtyWait", Input::HungUpPty, "", {"--status", "wait(5)"}, 3, "", ""},
    {"HungUpPtyReady", Input::HungUpPty, "", {"--status", "ready?"}, 3, "nil\n", ""},
    {"HungUpPtyNread", Input::HungUpPty, "", {"--status", "nread"}, 3, "0\n", ""},
    {"HungUpPtyEof", Input::HungUpPty, "", {"--status", "eof?"}, 3, "true\n", ""},
    {"HungUpPtyWaitWithoutStatus", Input::HungUpPty, "", {"wait(5)"}, 1, "", "zelt-io: SystemCallError: EIO: "},
    {"DevZeroWaitWithoutStatus", Input::DevZero, "", {"wait(5)"}, 1, "", kEnotty},
    {"ListeningWait", Input::Listening, "", {"--status", "wait(5)"}, 0, "", ""},
    {"ListeningReady", Input::Listening, "", {"--status", "ready?"}, 0, "nil\n", ""},
    {"ListeningNread", Input::Listening, "", {"--status", "nread"}, 0, "0\n", ""},
    {"ListeningIdleWait", Input::ListeningIdle, "", {"--status", "wait(0.05)"}, 124, "", ""},
    {"ListeningIdleReady", Input::ListeningIdle, "", {"--status", "ready?"}, 124, "nil\n", ""},
    {"ListeningIdleNread", Input::ListeningIdle, "", {"--status", "nread"}, 124, "0\n", ""},
    {"ListeningWaitWithoutStatus", Input::Listening, "", {"wait(5)"}, 1, "", "zelt-io: SystemCallError: EINVAL: "},
    {"ClosedThenWaitStaysAnError", Input::DevNull, "", {"--status", "close", "wait"}, 1, "nil\n", "zelt-io: IOError: closed stream\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(StreamKinds, ZeltIo, testing::ValuesIn(kStreamKinds), case_name);

// --raw: a String as its bytes, NULs and ill-formed UTF-8 included, nothing
// added; other results as without it; read streamed in pieces, the same bytes.
const std::string kLinesRaw = "a\0b\xff\xc3(\n\xe2\x82\xac\\\"\x1b\r\n"s;
const std::string kMixed = kLinesRaw + std::string(30000, '\0') + "tail"; // fits a pipe
const std::string kLarge = kLinesRaw + std::string(70000, '\0') + "tail"; // past one piece
// clang-format off
const Case kRaw[] = {
    {"RawGets", Input::PipeAtEnd, kMixed, {"--raw", "gets", "gets", "eof?"}, 0, kLinesRaw + "false\n", ""},
    {"RawReadAll", Input::PipeAtEnd, kMixed, {"--raw", "read", "read", "gets", "eof?"}, 0, kMixed + "nil\ntrue\n", ""},
    {"RawReadAllOfAFile", Input::File, kLarge, {"--raw", "read(3)", "read"}, 0, kLarge, ""},
    {"RawReadNPastAPiece", Input::File, kLarge, {"--raw", "read(70010)", "closed?", "read(100000)", "read(100000)"}, 0,
     kLarge.substr(0, 70010) + "false\n" + kLarge.substr(70010) + "nil\n", ""},
    {"RawReadNExactly", Input::PipeAtEnd, kMixed, {"--raw", "--no-read-ahead", "read(2)", "nread"}, 0,
     "a\0"s + std::to_string(kMixed.size() - 2) + "\n", ""},
    {"RawOthersAsBefore", Input::Pipe, "xy", {"--raw", "nread", "wait(0)", "ready?", "fileno", "read(0)", "close"}, 0,
     "2\n#<IO:fd 0>\ntrue\n0\nnil\n", ""},
    {"RawGetsAtTheEnd", Input::PipeAtEnd, "", {"--raw", "--status", "gets"}, 3, "nil\n", ""},
    {"RawReadAllStatusAtTheEnd", Input::File, "", {"--raw", "--status", "read"}, 3, "", ""},
    {"RawReadNStatusAtTheEnd", Input::File, "", {"--raw", "--status", "read(100000)"}, 3, "nil\n", ""},
    {"RawReadNStatusWithInput", Input::File, "z", {"--raw", "--status", "read(100000)"}, 0, "z", ""},
    {"RawReadRefusedAsBefore", Input::File, "z", {"--raw", "read(-100000)"}, 1, "", "zelt-io: ArgumentError: negative length"},
    {"RawStreamedReadOnAClosedStream", Input::File, "z", {"--raw", "close", "read"}, 1, "nil\n", "zelt-io: IOError: closed stream\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Raw, ZeltIo, testing::ValuesIn(kRaw), case_name);

// --within: each call made only once input came within the limit; the run
// stops at the first wait that found none, with its status, and prints
// nothing for the waits. A call made after a limit passed would block
// until the child's own time limit.
// clang-format off
const Case kWithin[] = {
    {"WithinThenALine", Input::Pipe, "a\nb\n", {"--raw", "--no-read-ahead", "--within", "5", "gets"}, 0, "a\n", ""},
    {"WithinLimitPasses", Input::Pipe, "", {"--within", "0.05", "gets"}, 124, "", ""},
    {"WithinAtTheEnd", Input::PipeAtEnd, "", {"--within=5", "gets"}, 3, "", ""},
    {"WithinBeforeEachCall", Input::PipeAtEnd, "a\n", {"--within", "5", "gets", "gets"}, 3, "\"a\\n\"\n", ""},
    {"WithinOnDevNull", Input::DevNull, "", {"--within", "5", "gets"}, 3, "", ""},
    {"WithinOnDevZero", Input::DevZero, "", {"--within", "5", "read(3)"}, 0, "\"\\x00\\x00\\x00\"\n", ""},
    {"WithinOnAHungUpPty", Input::HungUpPty, "", {"--within", "5", "gets"}, 3, "", ""},
    {"WithinHugeLimit", Input::Pipe, "", {"--within", "1e400", "gets"}, 1, "", "zelt-io: RangeError: "},
    {"WithinNegativeLimit", Input::Pipe, "", {"--within", "-1", "gets"}, 1, "", "zelt-io: ArgumentError: "},
    {"WithinOnAClosedStream", Input::Pipe, "x\n", {"--within", "5", "close", "gets"}, 1, "nil\n", "zelt-io: IOError: closed stream\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Within, ZeltIo, testing::ValuesIn(kWithin), case_name);

// The line loop that README and zelt-io(1) show: one zelt-io a line, and
// the loop ends at the end of the stream with status 3.
TEST(ZeltIoWithin, ReadsALineALoop) {
    Stream stream = make_stream(Input::PipeAtEnd, "one\ntwo\n\nthree");
    const std::string loop =
        "while :; do line=$(\"$0\" --raw --no-read-ahead --within 5 gets);"
        " s=$?; [ $s = 0 ] || break; printf '<%s>' \"$line\"; done; echo \" $s\"";
    zt::Outcome o = zt::run("/bin/sh", {"-c", loop, kZeltIo}, {{0, stream.child.get()}});
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, "<one><two><><three> 3\n") << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
}

// Messages: what comes from outside stays on its one line, escaped.
// clang-format off
const Case kMessages[] = {
    {"FileNameEscaped", Input::Pipe, "", {"--file", "/nonexistent/a\nb\xff\xc3\xa9\"", "nread"}, 1, "",
     "zelt-io: SystemCallError: ENOENT: No such file or directory - \"/nonexistent/a\\nb\\xFF\xc3\xa9\\\"\"\n"},
    {"ExtensionNameEscaped", Input::Pipe, "", {"--require", "x\ny\xff", "nread"}, 1, "",
     "zelt-io: LoadError: invalid extension name \"x\\ny\\xFF\": "},
    {"HugerLimitIsARangeErrorToo", Input::Pipe, "", {"wait(1e400)"}, 1, "", "zelt-io: RangeError: "},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Messages, ZeltIo, testing::ValuesIn(kMessages), case_name);

// The sanitizers' own memory (ASan's quarantine of freed blocks, their
// address space) would hide or break what these measure.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// --raw read of 100 MB of NUL bytes: every byte out as it is, in memory that
// does not grow with the input (inspected as one String, it took 1.4 GB).
TEST(ZeltIoRaw, StreamsAReadInBoundedMemory) {
    const std::size_t kSize = std::size_t{kSanitized ? 8 : 100} << 20; // no peak measured there
    Stream empty = make_stream(Input::File, "");
    Stream big = make_stream(Input::File, std::string(kSize, '\0'));
    const zt::Outcome base = zt::run(kZeltIo, {"--raw", "read"}, {{0, empty.child.get()}});
    const zt::Outcome o = zt::run(kZeltIo, {"--raw", "read"}, {{0, big.child.get()}}, {}, 120s);
    ASSERT_EQ(o.exit_code, 0) << zt::describe(base);
    EXPECT_EQ(o.out.size(), kSize);
    EXPECT_EQ(o.out.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(o.err, "");
    if (kSanitized) GTEST_SKIP() << "the sanitizers keep freed memory: peak not measured";
    EXPECT_LT(o.max_rss_kb - base.max_rss_kb, 16 * 1024) << "KiB; base " << base.max_rss_kb;
}

// The reader of zelt-io's results has gone: zelt-io gives its read-ahead
// back, then ends by SIGPIPE as a tool does (the shell sees 128+13), and the
// next reader of its input gets every line after the one it took. With
// SIGPIPE ignored by the caller, the write error and status 1 as before.
struct BrokenPipeCase {
    const char *name;
    std::string script; // zelt-io is $0, its results go to descriptor 4
    std::string out;
    std::string err;
};

void PrintTo(const BrokenPipeCase &c, std::ostream *os) { *os << c.name; }

class ZeltIoBrokenPipe : public testing::TestWithParam<BrokenPipeCase> {};

TEST_P(ZeltIoBrokenPipe, GivesTheRestBackThenEndsAsAToolDoes) {
    const BrokenPipeCase &c = GetParam();
    Stream input = make_stream(Input::File, "one\ntwo\nthree\nfour\nfive\n");
    zt::Ends results = zt::make_pipe();
    results.near.reset(); // no reader: every write is EPIPE
    zt::Outcome o = zt::run("/bin/sh", {"-c", c.script, kZeltIo},
                            {{0, input.child.get()}, {4, results.peer.get()}});
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, c.out) << zt::describe(o);
    EXPECT_EQ(o.err, c.err) << zt::describe(o);
}

const std::string kRest = "two\nthree\nfour\nfive\n";
// clang-format off
const BrokenPipeCase kBrokenPipes[] = {
    {"Gets", "\"$0\" gets gets >&4; echo \"status $?\"; cat", "status 141\n" + kRest, ""},
    {"RawGets", "\"$0\" --raw gets gets >&4; echo \"status $?\"; cat", "status 141\n" + kRest, ""},
    {"IgnoredByTheCaller", "trap '' PIPE; \"$0\" gets gets >&4; echo \"status $?\"; cat", "status 1\n" + kRest,
     "zelt-io: write error: Broken pipe\n"},
    {"Help", "\"$0\" --help >&4; echo \"status $?\"; cat", "status 141\none\n" + kRest, ""},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, ZeltIoBrokenPipe, testing::ValuesIn(kBrokenPipes),
                         [](const auto &info) { return std::string(info.param.name); });

// Out of memory is a failed run, said as a call's error is.
TEST(ZeltIoMessages, OutOfMemoryIsANoMemoryError) {
    if (kSanitized) GTEST_SKIP() << "the sanitizers need more address space than the limit leaves";
    Stream zeros = make_stream(Input::DevZero, "");
    zt::Outcome o = zt::run("/bin/sh", {"-c", "ulimit -v 300000 && exec \"$0\" read", kZeltIo},
                            {{0, zeros.child.get()}});
    EXPECT_EQ(o.exit_code, 1) << zt::describe(o);
    EXPECT_EQ(o.out, "") << zt::describe(o);
    EXPECT_EQ(o.err, "zelt-io: NoMemoryError: failed to allocate memory\n") << zt::describe(o);
}

// A CALL or option with a newline or a byte that is not UTF-8 shows on the
// usage error's first line, escaped and quoted.
class UsageMessage
    : public testing::TestWithParam<std::pair<std::vector<std::string>, std::string>> {};

TEST_P(UsageMessage, ShowsTheArgumentOnOneLine) {
    zt::Outcome o = zt::run(kZeltIo, GetParam().first);
    EXPECT_EQ(o.exit_code, 2) << zt::describe(o);
    EXPECT_EQ(o.err.substr(0, o.err.find('\n') + 1), GetParam().second) << zt::describe(o);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UsageMessage,
    testing::Values(
        std::make_pair(std::vector<std::string>{"wait(\n"},
                       "zelt-io: malformed CALL \"wait(\\n\": expected an argument, found \\x0A at "
                       "column 6\n"),
        std::make_pair(std::vector<std::string>{"--fd", "1\n\xff", "nread"},
                       "zelt-io: --fd takes a descriptor number, not \"1\\n\\xFF\"\n"),
        std::make_pair(std::vector<std::string>{"--x\"\\\xff", "nread"},
                       "zelt-io: unknown option \"--x\\\"\\\\\\xFF\"\n"),
        std::make_pair(
            std::vector<std::string>{"--raw", "--time", "nread"},
            "zelt-io: --raw and --time do not go together: a time would join a String's bytes\n")));

// A shell script runs zelt-io, then a follow-up reader, on one open stream:
// every byte the calls did not ask for reaches the follow-up reader.
struct FollowUp {
    const char *name;
    Input input;
    std::string data;
    std::string calls;  // zelt-io's arguments, as the script writes them
    std::string reader; // the follow-up command
    std::string out;    // zelt-io's results, then what the reader read
};

void PrintTo(const FollowUp &c, std::ostream *os) { *os << c.name; }

class ZeltIoThenAReader : public testing::TestWithParam<FollowUp> {};

TEST_P(ZeltIoThenAReader, GetsEveryByteTheCallsLeft) {
    const FollowUp &c = GetParam();
    Stream stream = make_stream(c.input, c.data);
    const std::string script = "\"$0\" " + c.calls + " && " + c.reader;
    zt::Outcome o = zt::run("/bin/sh", {"-c", script, kZeltIo}, {{0, stream.child.get()}});
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, c.out) << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
}

const std::string kLines = "one\ntwo\nthree\n";

// clang-format off
const FollowUp kFollowUps[] = {
    {"PipeGets", Input::PipeAtEnd, kLines, "--no-read-ahead gets", "cat", "\"one\\n\"\ntwo\nthree\n"},
    {"PipeReadN", Input::PipeAtEnd, kLines, "--no-read-ahead 'read(5)' 'read(2)'", "cat", "\"one\\nt\"\n\"wo\"\n\nthree\n"},
    {"PipeEof", Input::PipeAtEnd, kLines, "--no-read-ahead 'eof?'", "cat", "false\n" + kLines},
    {"SocketGets", Input::SocketAtEnd, kLines, "--no-read-ahead gets gets", "cat", "\"one\\n\"\n\"two\\n\"\nthree\n"},
    {"SocketReadN", Input::SocketAtEnd, kLines, "--no-read-ahead 'read(2)'", "cat", "\"on\"\ne\ntwo\nthree\n"},
    {"TcpGets", Input::TcpAtEnd, kLines, "--no-read-ahead gets", "cat", "\"one\\n\"\ntwo\nthree\n"},
    {"DatagramGets", Input::Datagrams, kLines, "--no-read-ahead gets", "head -c 4", "\"one\\n\"\ntwo\n"},
    {"PtyGets", Input::Pty, kLines, "--no-read-ahead gets", "head -c 10", "\"one\\n\"\ntwo\nthree\n"},
    {"FileGets", Input::File, kLines, "gets", "cat", "\"one\\n\"\ntwo\nthree\n"},
    {"FileReadN", Input::File, kLines, "'read(6)' nread", "cat", "\"one\\ntw\"\n8\no\nthree\n"},
    {"FileGetsThenClose", Input::File, kLines, "gets close", "cat", "\"one\\n\"\nnil\ntwo\nthree\n"},
    {"FileNoReadAhead", Input::File, kLines, "--no-read-ahead gets", "cat", "\"one\\n\"\ntwo\nthree\n"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, ZeltIoThenAReader, testing::ValuesIn(kFollowUps),
                         [](const auto &info) { return std::string(info.param.name); });

// A result that cannot be written fails the run, as a call that raises does.
struct WriteFailure {
    const char *name;
    std::string script; // run with zelt-io as $0
    std::string err;
};

void PrintTo(const WriteFailure &c, std::ostream *os) { *os << c.name; }

class ZeltIoWriteError : public testing::TestWithParam<WriteFailure> {};

TEST_P(ZeltIoWriteError, IsReportedWithStatusOne) {
    const WriteFailure &c = GetParam();
    Stream stream = make_stream(Input::Pipe, "abc\n");
    zt::Outcome o = zt::run("/bin/sh", {"-c", c.script, kZeltIo}, {{0, stream.child.get()}});
    EXPECT_EQ(o.exit_code, 1) << zt::describe(o);
    EXPECT_EQ(o.err, c.err) << zt::describe(o);
}

const std::string kFull = "zelt-io: write error: No space left on device\n";
const std::string kClosed = "zelt-io: write error: Bad file descriptor\n";

// clang-format off
const WriteFailure kWriteFailures[] = {
    {"FullDevice", "\"$0\" nread >/dev/full", kFull},
    {"ClosedOutput", "\"$0\" nread >&-", kClosed},
    {"HelpToAFullDevice", "\"$0\" --help >/dev/full", kFull},
    {"VersionToAClosedOutput", "\"$0\" --version >&-", kClosed},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, ZeltIoWriteError, testing::ValuesIn(kWriteFailures),
                         [](const auto &info) { return std::string(info.param.name); });

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
        std::vector<std::string>{"--", "--version"},
        std::vector<std::string>{"nread", "nreed"},                     // a method IO does not have
        std::vector<std::string>{"nread", "wait(2305843009213693952)"}, // 2^61: no Integer holds it
        std::vector<std::string>{"nread", "wait(-2305843009213693953)"},
        std::vector<std::string>{"--within", "soon", "gets"},
        std::vector<std::string>{"--within", "\"1\"", "gets"},
        std::vector<std::string>{"--within", "1, 2", "gets"},
        std::vector<std::string>{"--within", "nil", "gets"},
        std::vector<std::string>{"--within", "2305843009213693952", "gets"},
        std::vector<std::string>{"gets", "--within"}));

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

// Files whose size says nothing of what they hold: a proc file counts 0
// while it holds text, a sysfs attribute a page at its end. The status
// follows eof?, which reads there, not the kernel's count.
struct PseudoFileCase {
    const char *name;
    const char *path; // skipped where the system has none
    std::vector<std::string> calls;
    int status;
    std::string last; // the last result line, or empty where it varies
};

void PrintTo(const PseudoFileCase &c, std::ostream *os) { *os << c.name; }

class ZeltIoPseudoFile : public testing::TestWithParam<PseudoFileCase> {};

TEST_P(ZeltIoPseudoFile, StatusTellsWhatAReadFinds) {
    const PseudoFileCase &c = GetParam();
    if (zt::Fd probe(::open(c.path, O_RDONLY | O_CLOEXEC)); probe.get() < 0)
        GTEST_SKIP() << c.path << " cannot be opened here";
    std::vector<std::string> args = {"--status", "--file", c.path};
    args.insert(args.end(), c.calls.begin(), c.calls.end());
    zt::Outcome o = zt::run(kZeltIo, args);
    EXPECT_EQ(o.exit_code, c.status) << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
    if (!c.last.empty()) {
        EXPECT_THAT(o.out, testing::EndsWith("\n" + c.last + "\n")) << zt::describe(o);
    }
}

const char kProcFile[] = "/proc/self/status";
const char kSysfsFile[] = "/sys/kernel/mm/transparent_hugepage/enabled";

// clang-format off
const PseudoFileCase kPseudoFiles[] = {
    {"ProcWait", kProcFile, {"fileno", "wait"}, 0, "nil"},
    {"ProcNread", kProcFile, {"fileno", "nread"}, 0, "0"},
    {"ProcEof", kProcFile, {"fileno", "eof?"}, 0, "false"},
    {"ProcReadThenWait", kProcFile, {"read", "wait"}, 3, "nil"},
    {"ProcReadThenEof", kProcFile, {"read", "eof?"}, 3, "true"},
    {"SysfsEof", kSysfsFile, {"fileno", "eof?"}, 0, "false"},
    {"SysfsReadThenNread", kSysfsFile, {"read", "nread"}, 3, ""},
    {"SysfsReadThenReady", kSysfsFile, {"read", "ready?"}, 3, "true"},
    {"SysfsReadThenEof", kSysfsFile, {"read", "eof?"}, 3, "true"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, ZeltIoPseudoFile, testing::ValuesIn(kPseudoFiles),
                         [](const auto &info) { return std::string(info.param.name); });

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

// eof? waits until it can tell: input that comes later makes it false, a
// peer that closes later true, and neither is taken from the stream.
TEST(ZeltIoLive, EofWaitsForInputOrTheEnd) {
    for (const bool writes : {true, false}) {
        Stream stream = make_stream(Input::Pipe, "");
        zt::Child child(kZeltIo, {"--status", "nread", "eof?", "nread"}, {{0, stream.child.get()}});
        EXPECT_EQ(child.read_stdout_until("\n", 10s), "0\n"); // eof? comes next
        std::this_thread::sleep_for(300ms); // an eof? that answered at once would now be out
        if (writes) zt::write_all(stream.peer.get(), "ab");
        stream.peer.reset();
        zt::Outcome o = child.finish(15s);
        EXPECT_EQ(o.exit_code, writes ? 0 : 3) << zt::describe(o);
        EXPECT_EQ(o.out, writes ? "0\nfalse\n2\n" : "0\ntrue\n0\n") << zt::describe(o);
    }
}

// A known limit, held to what README and zelt-io(1) say: a job-control
// stop lengthens a wait by the time stopped, as the kernel resumes the
// stopped ppoll with the time that was left when the stop came.
TEST(ZeltIoLive, AJobControlStopLengthensAWaitByTheTimeStopped) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator does not show a stopped wait as /proc shows a real one";
#endif
    Stream stream = make_stream(Input::Pipe, "");
    zt::Child child(kZeltIo, {"--time", "wait(0.5)"}, {{0, stream.child.get()}});
    const std::string syscall_of = "/proc/" + std::to_string(child.pid()) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (long current = -1; current != SYS_ppoll;) { // until the wait sits in its ppoll
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "zelt-io never waited";
        std::ifstream in(syscall_of);
        if (!(in >> current)) current = -1; // "running"
        std::this_thread::yield();
    }
    ASSERT_EQ(::kill(child.pid(), SIGSTOP), 0);
    std::this_thread::sleep_for(1s); // the time stopped, past the limit
    ASSERT_EQ(::kill(child.pid(), SIGCONT), 0);
    zt::Outcome o = child.finish(15s);
    ASSERT_EQ(o.exit_code, 0) << zt::describe(o);
    std::vector<Timed> lines = timed_lines(o.out);
    ASSERT_EQ(lines.size(), 1u) << o.out;
    EXPECT_EQ(lines[0].result, "nil");
    EXPECT_GE(lines[0].seconds, 1.3) << o.out; // the limit and most of the stop
}

// Several streams: one wait on them all, each stream it answers named on
// its own line in the order given. The child gets stream i as descriptor
// 3 + i; "--fd 3 --fd 4" and so on come first in its arguments.
struct SeveralCase {
    const char *name;
    std::vector<std::pair<Input, std::string>> streams; // kind and data of fds 3, 4, ...
    std::vector<std::string> args;                      // after the --fd options
    int status;
    std::string out;
    std::string err; // as in Case
};

void PrintTo(const SeveralCase &c, std::ostream *os) { *os << c.name; }

class ZeltIoSeveral : public testing::TestWithParam<SeveralCase> {};

// What a stream the test still holds a copy of has left: the bytes the
// kernel counts, or a file's offset. zelt-io takes none of either.
long left_in(int fd) {
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return -::lseek(fd, 0, SEEK_CUR);
    int count = 0;
    return ::ioctl(fd, FIONREAD, &count) == 0 ? count : -1;
}

TEST_P(ZeltIoSeveral, NamesTheStreamsWithInputAndConsumesNothing) {
    const SeveralCase &c = GetParam();
    std::vector<Stream> streams;
    std::map<int, int> fds;
    std::vector<std::string> args;
    for (const auto &[input, data] : c.streams) {
        streams.push_back(make_stream(input, data));
        const int at = 3 + static_cast<int>(fds.size());
        fds[at] = streams.back().child.get();
        args.insert(args.end(), {"--fd", std::to_string(at)});
    }
    args.insert(args.end(), c.args.begin(), c.args.end());
    std::vector<long> before;
    before.reserve(streams.size());
    for (const Stream &s : streams) before.push_back(left_in(s.child.get()));

    const zt::Outcome o = zt::run(kZeltIo, args, fds);
    EXPECT_EQ(o.exit_code, c.status) << zt::describe(o);
    EXPECT_EQ(o.out, c.out) << zt::describe(o);
    if (c.err.empty()) {
        EXPECT_EQ(o.err, "") << zt::describe(o);
    } else {
        EXPECT_THAT(o.err, StartsWith(c.err)) << zt::describe(o);
    }
    for (std::size_t i = 0; i < streams.size(); ++i)
        EXPECT_EQ(left_in(streams[i].child.get()), before[i]) << "stream " << i << " was read";
}

// clang-format off
const SeveralCase kSeveral[] = {
    {"OneOfTwoHasInput", {{Input::Pipe, ""}, {Input::Pipe, "x"}}, {"--status", "wait(5)"}, 0, "fd 4\n", ""},
    {"BothHaveInput", {{Input::Pipe, "a"}, {Input::Socket, "b"}}, {"--status", "wait(5)"}, 0, "fd 3\nfd 4\n", ""},
    {"NoLimit", {{Input::Pipe, ""}, {Input::Socket, "b"}}, {"--status", "wait"}, 0, "fd 4\n", ""},
    {"WithoutStatus", {{Input::Pipe, ""}, {Input::Pipe, "x"}}, {"wait(5)"}, 0, "fd 4\n", ""},
    {"LimitPasses", {{Input::Pipe, ""}, {Input::Socket, ""}, {Input::Pty, ""}}, {"--status", "wait(0.1)"}, 124, "", ""},
    {"LimitPassesWithoutStatus", {{Input::Pipe, ""}, {Input::Pipe, ""}}, {"wait(0)"}, 0, "", ""},
    {"AllAtTheirEnd", {{Input::PipeAtEnd, ""}, {Input::SocketAtEnd, ""}, {Input::File, ""}}, {"--status", "wait(5)"}, 3,
     "fd 3\nfd 4\nfd 5\n", ""},
    {"OneAtItsEndTheOtherIdle", {{Input::Pipe, ""}, {Input::PipeAtEnd, ""}}, {"--status", "wait(5)"}, 3, "fd 4\n", ""},
    {"OneAtItsEndTheOtherWithInput", {{Input::PipeAtEnd, ""}, {Input::Pipe, "x"}}, {"--status", "wait(5)"}, 0,
     "fd 3\nfd 4\n", ""},
    {"InputBeforeTheEnd", {{Input::Pipe, ""}, {Input::PipeAtEnd, "last"}}, {"--status", "wait(5)"}, 0, "fd 4\n", ""},
    {"RegularFileWithData", {{Input::Pipe, ""}, {Input::File, "abc"}}, {"--status", "wait(5)"}, 0, "fd 4\n", ""},
    {"DatagramsPtyAndTcp", {{Input::Datagrams, "d\n"}, {Input::Pty, "t"}, {Input::TcpAtEnd, "x"}}, {"--status", "wait(5)"}, 0,
     "fd 3\nfd 4\nfd 5\n", ""},
    {"DevNullIsAtItsEnd", {{Input::DevNull, ""}, {Input::Pipe, ""}}, {"--status", "wait(5)"}, 3, "fd 3\n", ""},
    {"DevZeroHasInput", {{Input::DevZero, ""}, {Input::Pipe, ""}}, {"--status", "wait(5)"}, 0, "fd 3\n", ""},
    {"ListenerWithAConnection", {{Input::Listening, ""}, {Input::ListeningIdle, ""}}, {"--status", "wait(5)"}, 0, "fd 3\n", ""},
    {"WriteOnlyAmongThem", {{Input::Pipe, "x"}, {Input::WriteOnly, ""}}, {"--status", "wait(5)"}, 1, "",
     "zelt-io: IOError: not opened for reading\n"},
    {"NegativeLimit", {{Input::Pipe, "x"}, {Input::Pipe, ""}}, {"wait(-1)"}, 1, "", "zelt-io: ArgumentError: "},
    {"HugeLimit", {{Input::Pipe, "x"}, {Input::Pipe, ""}}, {"wait(1e300)"}, 1, "", "zelt-io: RangeError: "},
    {"StringLimit", {{Input::Pipe, "x"}, {Input::Pipe, ""}}, {"wait(\"1\")"}, 1, "", "zelt-io: TypeError: "},
    {"NotOpen", {{Input::Pipe, "x"}}, {"--fd", "900", "wait(5)"}, 1, "", "zelt-io: SystemCallError: EBADF"},
    {"FileMissing", {{Input::Pipe, "x"}}, {"--file", "/nonexistent/zelt-io", "wait(5)"}, 1, "",
     "zelt-io: SystemCallError: ENOENT"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Table, ZeltIoSeveral, testing::ValuesIn(kSeveral),
                         [](const auto &info) { return std::string(info.param.name); });

// Streams named by --file, FIFOs among them, and the names printed as given.
TEST(ZeltIoSeveralFiles, NamesEachAsGiven) {
    zt::Ends idle = zt::make_fifo(), spoke = zt::make_fifo();
    NamedFile file("abc");
    // the FIFOs are unlinked: zelt-io opens them through this process's descriptors
    const std::string a =
        "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(idle.near.get());
    const std::string b =
        "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(spoke.near.get());
    zt::write_all(spoke.peer.get(), "hello\n");
    zt::Outcome o = zt::run(
        kZeltIo,
        {"--status", "--file", a, "--file=" + b, "--file", file.path, "--fd", "5", "wait(5)"},
        {{5, idle.near.get()}});
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, "file " + b + "\nfile " + file.path + "\n") << zt::describe(o);
    int count = 0;
    EXPECT_EQ(::ioctl(spoke.near.get(), FIONREAD, &count), 0);
    EXPECT_EQ(count, 6); // left for the next reader
}

// A wait with no limit sleeps until one of its streams has input.
TEST(ZeltIoSeveralLive, AWaitEndsWhenOneStreamGetsInput) {
#if defined(ZT_UNDER_EMULATOR)
    GTEST_SKIP() << "the user-mode emulator does not show a waiting call as /proc shows a real one";
#endif
    Stream first = make_stream(Input::Pipe, ""), second = make_stream(Input::Socket, "");
    zt::Child child(kZeltIo, {"--status", "--fd", "3", "--fd", "4", "wait"},
                    {{3, first.child.get()}, {4, second.child.get()}});
    const std::string syscall_of = "/proc/" + std::to_string(child.pid()) + "/syscall";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (long current = -1; current != SYS_ppoll;) { // until the wait sits in its ppoll
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "zelt-io never waited";
        std::ifstream in(syscall_of);
        if (!(in >> current)) current = -1; // "running"
        std::this_thread::yield();
    }
    zt::write_all(second.peer.get(), "late\n");
    zt::Outcome o = child.finish(15s);
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, "fd 4\n") << zt::describe(o);
}

// Command lines refused on several streams: usage, status 2, nothing waited on.
class SeveralUsageError : public testing::TestWithParam<std::vector<std::string>> {};

TEST_P(SeveralUsageError, NamesTheFault) {
    Stream a = make_stream(Input::Pipe, "x"), b = make_stream(Input::Pipe, "y");
    zt::Outcome o = zt::run(kZeltIo, GetParam(), {{3, a.child.get()}, {4, b.child.get()}});
    EXPECT_EQ(o.exit_code, 2) << zt::describe(o);
    EXPECT_EQ(o.out, "") << zt::describe(o);
    EXPECT_THAT(o.err, StartsWith("zelt-io: ")) << zt::describe(o);
    EXPECT_THAT(o.err, HasSubstr("\nusage: zelt-io [")) << zt::describe(o);
    EXPECT_THAT(o.err, HasSubstr("several")) << "the fault is named: " << zt::describe(o);
}

using Line = std::vector<std::string>;
INSTANTIATE_TEST_SUITE_P(Table, SeveralUsageError,
                         testing::Values(Line{"--fd", "3", "--fd", "4", "nread"},
                                         Line{"--fd", "3", "--fd", "4", "ready?"},
                                         Line{"--fd", "3", "--fd", "4", "wait", "wait"},
                                         Line{"--fd", "3", "--fd", "4", "wait(1)", "gets"},
                                         Line{"--fd", "3", "--fd", "4", "wait(1, 2)"},
                                         Line{"--fd", "3", "--fd", "4", "--raw", "wait"},
                                         Line{"--fd", "3", "--fd", "4", "--time", "wait"},
                                         Line{"--fd", "3", "--within", "1", "--fd", "4", "wait"},
                                         Line{"--fd", "3", "--fd", "4", "--no-read-ahead", "wait"},
                                         Line{"--fd", "3", "--file", "/tmp/a\nb", "wait"}));

// The same descriptor twice would be closed twice at the end.
TEST(SeveralUsageErrors, ADescriptorGivenTwice) {
    Stream a = make_stream(Input::Pipe, "x");
    zt::Outcome o = zt::run(kZeltIo, {"--fd", "3", "--fd=3", "wait"}, {{3, a.child.get()}});
    EXPECT_EQ(o.exit_code, 2) << zt::describe(o);
    EXPECT_THAT(o.err, StartsWith("zelt-io: --fd 3 given twice\n")) << zt::describe(o);
}

} // namespace
