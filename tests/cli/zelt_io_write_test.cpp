// zelt-io on a stream open for writing: the output side's calls, what
// --status makes of them (0 writable, 124 a write would wait, 32 the reader
// gone), and --write, which opens --file for writing.
#include "subprocess.hpp" // run, Outcome, describe

#include <kernel.hpp> // zt::Fd, make_pipe, make_socketpair

#include <cerrno>        // EAGAIN
#include <fcntl.h>       // fcntl, O_NONBLOCK
#include <gtest/gtest.h> // TEST, TEST_P
#include <ostream>       // PrintTo
#include <stdlib.h>      // mkstemp
#include <string>        // outputs
#include <unistd.h>      // write, unlink
#include <vector>        // arguments

namespace {

const std::string kZeltIo = ZELT_IO_PATH;

enum class Output {
    Reading,    // a pipe whose reader keeps its end open and reads nothing
    Full,       // the same pipe, full
    ReaderGone, // a pipe whose reader has closed its end
    PeerClosed, // a socket pair whose peer has closed
};

// The write end handed to the child as descriptor 3, and the reader's end.
zt::Ends make_output(Output kind) {
    zt::Ends ends = kind == Output::PeerClosed ? zt::make_socketpair() : zt::make_pipe();
    if (kind == Output::Full) {
        const int fd = ends.peer.get(), flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        const char chunk[4096] = {};
        while (::write(fd, chunk, sizeof chunk) > 0 || errno == EINTR) {
        }
        ::fcntl(fd, F_SETFL, flags);
    }
    if (kind == Output::ReaderGone || kind == Output::PeerClosed) ends.near.reset();
    return ends;
}

struct WriteCase {
    const char *name;
    Output output;
    std::vector<std::string> args; // before --fd 3
    int status;
    std::string out;
};

void PrintTo(const WriteCase &c, std::ostream *os) { *os << c.name; }

class ZeltIoOutput : public testing::TestWithParam<WriteCase> {};

TEST_P(ZeltIoOutput, StatusTellsWritableWaitingAndReaderGoneApart) {
    const WriteCase &c = GetParam();
    zt::Ends ends = make_output(c.output);
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), {"--fd", "3"});
    zt::Outcome o = zt::run(kZeltIo, args, {{3, ends.peer.get()}});
    EXPECT_EQ(o.exit_code, c.status) << zt::describe(o);
    EXPECT_EQ(o.out, c.out) << zt::describe(o);
    EXPECT_EQ(o.err, "") << zt::describe(o);
}

const WriteCase kWriteCases[] = {
    {"Writable",
     Output::Reading,
     {"--status", "writable?", "wait_writable(1)", "nwrite"},
     0,
     "true\n#<IO:fd 3>\n0\n"},
    {"ReaderKeepingUpCounts",
     Output::Reading,
     {"--status", "wait_for(\"writable\", 0)"},
     0,
     "[\"writable\"]\n"},
    {"FullWouldWait", Output::Full, {"--status", "writable?"}, 124, "false\n"},
    {"FullLimitPasses", Output::Full, {"--status", "wait_writable(0.05)"}, 124, "nil\n"},
    {"FullWaitForLimitPasses",
     Output::Full,
     {"--status", "wait_for(\"writable\", 0)"},
     124,
     "nil\n"},
    {"FullCountsItsBytes", Output::Full, {"--status", "nwrite"}, 0, "65536\n"},
    {"ReaderGoneQuery", Output::ReaderGone, {"--status", "writable?"}, 32, "nil\n"},
    {"ReaderGoneWait", Output::ReaderGone, {"--status", "wait_writable(5)"}, 32, "false\n"},
    {"ReaderGoneWaitNoLimit", Output::ReaderGone, {"--status", "wait_writable"}, 32, "false\n"},
    {"ReaderGoneCount", Output::ReaderGone, {"--status", "nwrite"}, 32, "0\n"},
    {"ReaderGoneWithoutStatus", Output::ReaderGone, {"wait_writable(5)"}, 0, "false\n"},
    {"PeerClosedHangsUp", Output::PeerClosed, {"--status", "wait_writable(5)"}, 32, "false\n"},
    {"PeerClosedEvent", Output::PeerClosed, {"wait_for(\"hangup\", 5)"}, 0, "[\"hangup\"]\n"},
};

INSTANTIATE_TEST_SUITE_P(Outputs, ZeltIoOutput, testing::ValuesIn(kWriteCases),
                         [](const auto &info) { return std::string(info.param.name); });

// --write opens --file's PATH for writing; without it the file is opened for
// reading and the output side refuses it. --write alone, with --fd or none,
// is a usage error.
TEST(ZeltIoWrite, OpensTheNamedFileForWriting) {
    char path[] = "/tmp/zelt-io-write-XXXXXX";
    zt::Fd file(::mkstemp(path));
    ASSERT_GE(file.get(), 0);
    zt::Outcome o =
        zt::run(kZeltIo, {"--status", "--file", path, "--write", "nwrite", "writable?"});
    EXPECT_EQ(o.exit_code, 0) << zt::describe(o);
    EXPECT_EQ(o.out, "0\ntrue\n") << zt::describe(o);
    o = zt::run(kZeltIo, {"--file", path, "writable?"});
    EXPECT_EQ(o.exit_code, 1) << zt::describe(o);
    EXPECT_EQ(o.err, "zelt-io: IOError: not opened for writing\n") << zt::describe(o);
    o = zt::run(kZeltIo, {"--file", std::string(path) + ".missing", "--write", "nwrite"});
    EXPECT_EQ(o.exit_code, 1) << "no file is made: " << zt::describe(o);
    ::unlink(path);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--write", "nwrite"}, {"--fd", "1", "--write", "nwrite"}}) {
        o = zt::run(kZeltIo, args);
        EXPECT_EQ(o.exit_code, 2) << zt::describe(o);
        EXPECT_NE(o.err.find("--write opens --file"), std::string::npos) << zt::describe(o);
    }
}

} // namespace
