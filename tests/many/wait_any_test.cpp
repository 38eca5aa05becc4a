// wait_any_test.cpp: IO.wait_any on real kernel objects: buffered input found
// with no system call, each kind of stream, the limit, the order of the
// answer, the end of a stream, fork, the descriptor limit and every bad
// argument.
#include "wait_any.hpp" // wait_any, require_wait_many

#include <kernel.hpp>        // make_pipe, Io, Fd, write_all
#include <streams.hpp>       // readable_kinds, closable_peer_kinds, settle
#include <syscall_count.hpp> // zt::syscalls::Counter
#include <zelt.h>            // zl_cIO
#include <zelt/embed.hpp>    // call, Error, class_named

#include <chrono>         // the limit's length
#include <deque>          // IO objects stay where they are made
#include <fcntl.h>        // open
#include <gtest/gtest.h>  // TEST, TEST_P
#include <sys/resource.h> // getrlimit, setrlimit: the descriptor limit
#include <sys/wait.h>     // waitpid
#include <thread>         // a writer on another thread
#include <unistd.h>       // fork, _exit, dup, read

namespace many_test {
namespace {

using Clock = std::chrono::steady_clock;

class WaitAny : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        require_wait_many();
    }
};

TEST_F(WaitAny, BufferedInputIsAnsweredWithNoSystemCall) {
    zt::Ends idle = zt::make_pipe(), lines = zt::make_pipe();
    zt::write_all(lines.peer.get(), "a\nb\n");
    zt::Io quiet(std::move(idle.near)), buffered(std::move(lines.near));
    zt::Held first(zelt::call(buffered, "gets")); // "b\n" stays in the buffer, none in the kernel
    zt::syscalls::Counter calls;
    EXPECT_EQ(wait_any({quiet, buffered}), std::vector<zl_value>{buffered.value()});
    EXPECT_EQ(calls.ppolls(), 0u);
    EXPECT_EQ(calls.ioctls(), 0u);
}

TEST_F(WaitAny, TheKernelIsAskedOnlyWhenNoBufferHoldsInput) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    zt::write_all(b.peer.get(), "x");
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    zt::syscalls::Counter calls;
    EXPECT_EQ(wait_any({ia, ib}, 5.0), std::vector<zl_value>{ib.value()});
    EXPECT_EQ(calls.ppolls(), 1u);     // one look at both
    EXPECT_EQ(calls.polled_fds(), 2u); // and no more
}

// A zero limit looks at the kernel once and never sleeps: the ready stream
// answered, nil when none is, each after one ppoll over the whole set.
TEST_F(WaitAny, AZeroLimitLooksOnce) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe(), c = zt::make_socketpair();
    zt::write_all(c.peer.get(), "x");
    zt::Io ia(std::move(a.near)), ib(std::move(b.near)), ic(std::move(c.near));
    for (const zl_value zero : {zelt::integer(0), zelt::flt(0.0)}) {
        zt::Held held(zero);
        zt::syscalls::Counter calls;
        EXPECT_EQ(wait_any({ia, ib, ic}, &zero), std::vector<zl_value>{ic.value()});
        EXPECT_EQ(wait_any({ia, ib}, &zero), std::vector<zl_value>{});
        EXPECT_EQ(calls.ppolls(), 2u);
        EXPECT_EQ(calls.polled_fds(), 5u);
    }
}

class EachKind : public WaitAny, public ::testing::WithParamInterface<wait_suite::StreamKind> {};

TEST_P(EachKind, AnswersTheStreamWithInputAndNotTheIdleOne) {
    wait_suite::Filled filled = GetParam().make("input\n");
    zt::Ends idle = zt::make_pipe();
    zt::Io quiet(std::move(idle.near)), ready(std::move(filled.near));
    EXPECT_EQ(wait_any({quiet, ready}, 5.0), std::vector<zl_value>{ready.value()});
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachKind, ::testing::ValuesIn(wait_suite::readable_kinds()),
                         [](const auto &info) { return std::string(info.param.name); });

class EachPeerKind : public WaitAny, public ::testing::WithParamInterface<wait_suite::PeerKind> {};

TEST_P(EachPeerKind, IdleAnswersNilAtTheLimit) {
    zt::Ends ends = GetParam().make();
    zt::Io io(std::move(ends.near));
    EXPECT_TRUE(wait_any({io}, 0.0).empty());
    EXPECT_TRUE(wait_any({io}, 0.01).empty());
}

TEST_P(EachPeerKind, TheEndOfTheStreamIsAnswered) { // a read would not wait
    zt::Ends ends = GetParam().make();
    zt::Ends idle = zt::make_pipe();
    zt::Io io(std::move(ends.near)), quiet(std::move(idle.near));
    ends.peer.reset();
    EXPECT_EQ(wait_any({quiet, io}, 5.0), std::vector<zl_value>{io.value()});
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachPeerKind,
                         ::testing::ValuesIn(wait_suite::closable_peer_kinds()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(WaitAny, AnswersEveryReadyStreamInTheOrderGiven) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe(), c = zt::make_pipe();
    zt::write_all(c.peer.get(), "c");
    zt::write_all(a.peer.get(), "a");
    zt::Io ia(std::move(a.near)), ib(std::move(b.near)), ic(std::move(c.near));
    EXPECT_EQ(wait_any({ic, ib, ia}, 5.0), (std::vector<zl_value>{ic.value(), ia.value()}));
}

TEST_F(WaitAny, TheLimitPassesOnIdleStreams) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    const auto start = Clock::now();
    EXPECT_TRUE(wait_any({ia, ib}, 0.05).empty());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50)); // not cut short
    const zl_value zero = zelt::integer(0);
    EXPECT_TRUE(wait_any({ia, ib}, &zero).empty());
}

TEST_F(WaitAny, WithNoLimitItReturnsWhenInputArrives) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    std::thread writer([&] { zt::write_all(b.peer.get(), "late"); }); // before or during the wait
    EXPECT_EQ(wait_any({ia, ib}), std::vector<zl_value>{ib.value()});
    writer.join();
}

TEST_F(WaitAny, TheSameStreamTwiceIsAnsweredInBothPlaces) {
    zt::Ends a = zt::make_pipe();
    zt::write_all(a.peer.get(), "a");
    zt::Io ia(std::move(a.near));
    EXPECT_EQ(wait_any({ia, ia}, 1.0), (std::vector<zl_value>{ia.value(), ia.value()}));
}

TEST_F(WaitAny, IsAMethodOfTheIoClassAlone) {
    zt::Ends a = zt::make_pipe();
    zt::Io ia(std::move(a.near));
    zt::Held set(zelt::array({ia.value()}));
    EXPECT_THROW(zelt::call(ia, "wait_any", {set}), zelt::Error); // not an IO's
    EXPECT_THROW(zelt::call(zelt::class_named("String"), "wait_any", {set}), zelt::Error);
    for (const zelt::MethodInfo &m : zelt::methods_of(zl_cIO)) EXPECT_NE(m.name, "wait_any");
}

// A fork child waits on the streams it inherited, as its parent does.
TEST_F(WaitAny, WorksInAForkChild) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    zt::write_all(b.peer.get(), "b");
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool right = false;
        try {
            right = wait_any({ia, ib}, 5.0) == std::vector<zl_value>{ib.value()};
        } catch (...) {
        }
        ::_exit(right ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// Sets past the few a wait keeps in its frame, in turn larger and smaller
// than the one before (the thread keeps its last large set's arrays for the
// next): each answers the one ready stream it holds, with a zero limit and
// blocking, and nothing of an earlier, larger set.
TEST_F(WaitAny, SetsOfEverySizeInTurnAnswerTheirOwnStreams) {
    std::deque<zt::Io> streams; // both ends of socket pairs: one descriptor a stream
    std::vector<zt::Fd> peers;  // the near end's peer, to write to
    for (int i = 0; i < 150; ++i) {
        zt::Ends e = zt::make_socketpair();
        peers.emplace_back(::dup(e.peer.get()));
        streams.emplace_back(std::move(e.near));
        streams.emplace_back(std::move(e.peer));
    }
    const zl_value zero = zelt::integer(0);
    for (const std::size_t n : {17u, 300u, 40u, 16u, 17u, 1u, 299u}) {
        std::vector<zl_value> set;
        for (std::size_t i = 0; i < n; ++i) set.push_back(streams[i].value());
        EXPECT_EQ(wait_any(set, &zero), std::vector<zl_value>{}) << n << " idle streams";
        const std::size_t last = (n - 1) & ~std::size_t{1}; // a near end: its peer writes
        zt::write_all(peers[last / 2].get(), "x");
        EXPECT_EQ(wait_any(set, &zero), std::vector<zl_value>{set[last]}) << n << " streams";
        EXPECT_EQ(wait_any(set, 5.0), std::vector<zl_value>{set[last]}) << n << " streams";
        char c;
        ASSERT_EQ(::read(zelt::io_fd(set[last]), &c, 1), 1);
    }
}

// No descriptor of its own: with the table full, a wait that blocks, and
// one that answers, behave as below the limit.
TEST_F(WaitAny, WorksAtTheDescriptorLimit) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(zt::open_fd_count()) + 8;
    setrlimit(RLIMIT_NOFILE, &low);
    std::vector<zt::Fd> filler;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filler.emplace_back(fd);
    const auto idle = wait_any({ia, ib}, 0.02);
    zt::write_all(b.peer.get(), "b");
    const auto ready = wait_any({ia, ib}, 5.0);
    filler.clear();
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(idle.empty());
    EXPECT_EQ(ready, std::vector<zl_value>{ib.value()});
}

// ---- bad arguments -------------------------------------------------------------

struct BadCase {
    const char *name;
    const char *klass;   // the exception's class
    const char *message; // part of its message
};

void PrintTo(const BadCase &c, std::ostream *os) { *os << c.name; }

// Each row calls IO.wait_any with what its name says.
class BadArguments : public WaitAny, public ::testing::WithParamInterface<BadCase> {
protected:
    zl_value call_for(const std::string &name) {
        if (name == "not_an_array") return zelt::call(zl_cIO, "wait_any", {zelt::integer(3)});
        if (name == "a_stream_not_in_an_array") return zelt::call(zl_cIO, "wait_any", {open_});
        if (name == "empty_set") return with({});
        if (name == "an_integer_in_the_set") return with({open_, zelt::integer(1)});
        if (name == "nil_in_the_set") return with({open_, ZL_NIL});
        if (name == "a_closed_stream") return with({open_, closed_});
        if (name == "a_write_only_stream") return with({open_, write_only_});
        if (name == "a_buffered_stream_then_a_closed_one") return with({buffered_, closed_});
        if (name == "a_closed_stream_among_twenty") {
            std::vector<zl_value> set(19, open_);
            set.push_back(closed_);
            return with(set);
        }
        if (name == "negative_limit") return with({open_}, zelt::integer(-1));
        if (name == "huge_limit") return with({open_}, huge_);
        if (name == "string_limit") return with({open_}, text_);
        if (name == "no_arguments") return zelt::call(zl_cIO, "wait_any");
        zt::Held set(zelt::array({open_}));
        return zelt::call(zl_cIO, "wait_any", {set, ZL_NIL, ZL_NIL, ZL_NIL}); // four
    }
    void SetUp() override {
        zelt::call(closed_, "close");
        zt::write_all(lines_.peer.get(), "a\nb\n");
        zelt::release(zelt::call(buffered_, "gets")); // "b\n" stays in the read buffer
    }

private:
    zl_value with(std::vector<zl_value> streams, zl_value limit = ZL_NIL) {
        zt::Held set(zelt::array(std::move(streams)));
        return zelt::call(zl_cIO, "wait_any", {set, limit});
    }
    zt::Ends idle_ = zt::make_pipe(), other_ = zt::make_pipe(), out_ = zt::make_pipe(),
             lines_ = zt::make_pipe();
    zt::Io open_{std::move(idle_.near)}, closed_{std::move(other_.near)},
        write_only_{std::move(out_.peer)}, buffered_{std::move(lines_.near)};
    zt::Held huge_{zelt::flt(1e30)}, text_{zelt::str("1")};
};

TEST_P(BadArguments, RaiseAClearException) {
    const BadCase &c = GetParam();
    try {
        zl_value answer = call_for(c.name);
        zelt::release(answer);
        ADD_FAILURE() << "no exception, answered " << zelt::inspect(answer);
    } catch (const zelt::Error &e) {
        EXPECT_EQ(e.class_name(), c.klass);
        EXPECT_NE(e.message().find(c.message), std::string::npos) << e.message();
    }
}

const BadCase kBadCases[] = {
    {"not_an_array", "TypeError", "Integer (expected Array)"},
    {"a_stream_not_in_an_array", "TypeError", "IO (expected Array)"},
    {"empty_set", "ArgumentError", "no streams to wait on"},
    {"an_integer_in_the_set", "TypeError", "Integer (expected IO)"},
    {"nil_in_the_set", "TypeError", "NilClass (expected IO)"},
    {"a_closed_stream", "IOError", "closed stream"},
    {"a_write_only_stream", "IOError", "not opened for reading"},
    // Every stream is checked before any answer, a buffered one's too.
    {"a_buffered_stream_then_a_closed_one", "IOError", "closed stream"},
    {"a_closed_stream_among_twenty", "IOError", "closed stream"},
    {"negative_limit", "ArgumentError", "negative"},
    {"huge_limit", "RangeError", ""},
    {"string_limit", "TypeError", ""},
    {"no_arguments", "ArgumentError", "given 0, expected 1..3"},
    {"four_arguments", "ArgumentError", "given 4, expected 1..3"},
};

INSTANTIATE_TEST_SUITE_P(Rows, BadArguments, ::testing::ValuesIn(kBadCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace many_test
