// selector_test.cpp: the Selector class on real kernel objects: buffered
// input found with no system call, each kind of stream, the limit, a close
// and a release of a registered stream (a dup keeping its open file alive,
// its number taken by a new stream), fork, the descriptor limit, and every
// bad argument.
#include "selector.hpp" // Selector, sorted

#include <kernel.hpp>        // make_pipe, Io, Fd, write_all, open_fd_count
#include <streams.hpp>       // readable_kinds, closable_peer_kinds
#include <syscall_count.hpp> // zt::syscalls::Counter
#include <zelt.h>            // zl_define_class, zl_data_new, zl_data_ptr
#include <zelt/embed.hpp>    // call, Error, release

#include <chrono>         // the limit's length
#include <fcntl.h>        // open
#include <gtest/gtest.h>  // TEST_F, TEST_P
#include <string>         // messages
#include <sys/resource.h> // getrlimit, setrlimit: the descriptor limit
#include <sys/wait.h>     // waitpid
#include <unistd.h>       // fork, _exit, dup

namespace many_test {
namespace {

using Clock = std::chrono::steady_clock;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
using Values = std::vector<zl_value>;

class SelectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        require_wait_many();
    }
};

// Input the runtime buffered, whether the fill came before the registration
// or after it, is answered with no system call, and again at each wait until
// it is read.
TEST_F(SelectorTest, BufferedInputIsAnsweredWithNoSystemCall) {
    for (const bool fill_first : {true, false}) {
        SCOPED_TRACE(fill_first ? "filled, then registered" : "registered, then filled");
        zt::Ends idle = zt::make_pipe(), lines = zt::make_pipe();
        zt::write_all(lines.peer.get(), "a\nb\n");
        zt::Io quiet(std::move(idle.near)), buffered(std::move(lines.near));
        Selector sel;
        sel.add(quiet);
        if (fill_first) zt::Held first(zelt::call(buffered, "gets")); // "b\n" stays buffered
        sel.add(buffered);
        if (!fill_first) zt::Held first(zelt::call(buffered, "gets"));
        zt::syscalls::Counter calls;
        EXPECT_EQ(sel.wait(2.0), Values{buffered.value()});
        EXPECT_EQ(sel.wait(0.0), Values{buffered.value()}); // still unread: still answered
        EXPECT_EQ(calls.epoll_waits(), 0u);
        EXPECT_EQ(calls.ppolls() + calls.ioctls(), 0u);
        zt::Held second(zelt::call(buffered, "gets")); // now nothing is left anywhere
        EXPECT_TRUE(sel.wait(0.0).empty());
    }
}

TEST_F(SelectorTest, TheKernelIsAskedOnceForOneReadyAmongMany) {
    std::vector<zt::Ends> ends;
    std::vector<std::unique_ptr<zt::Io>> ios;
    Selector sel;
    for (int i = 0; i < 200; ++i) {
        ends.push_back(zt::make_pipe());
        ios.push_back(std::make_unique<zt::Io>(std::move(ends.back().near)));
        sel.add(*ios.back());
    }
    EXPECT_EQ(sel.size(), 200);
    zt::write_all(ends[137].peer.get(), "x");
    zt::syscalls::Counter calls;
    EXPECT_EQ(sel.wait(5.0), Values{ios[137]->value()});
    EXPECT_EQ(calls.epoll_waits(), 1u); // one look, whatever the number registered
    EXPECT_EQ(calls.ppolls(), 0u);
}

class SelectorEachKind : public SelectorTest,
                         public ::testing::WithParamInterface<wait_suite::StreamKind> {};

TEST_P(SelectorEachKind, AnswersTheStreamWithInputAndNotTheIdleOne) {
    wait_suite::Filled filled = GetParam().make("input\n");
    zt::Ends idle = zt::make_pipe();
    zt::Io quiet(std::move(idle.near)), ready(std::move(filled.near));
    Selector sel;
    sel.add(quiet);
    sel.add(ready);
    EXPECT_EQ(sel.wait(5.0), Values{ready.value()});
    EXPECT_EQ(sel.wait(5.0), Values{ready.value()}); // level: until it is read
}

INSTANTIATE_TEST_SUITE_P(Kinds, SelectorEachKind, ::testing::ValuesIn(wait_suite::readable_kinds()),
                         [](const auto &info) { return std::string(info.param.name); });

class SelectorEachPeerKind : public SelectorTest,
                             public ::testing::WithParamInterface<wait_suite::PeerKind> {};

TEST_P(SelectorEachPeerKind, IdleAnswersNilAtTheLimitAndTheEndIsAnswered) {
    zt::Ends ends = GetParam().make();
    zt::Io io(std::move(ends.near));
    Selector sel;
    sel.add(io);
    EXPECT_TRUE(sel.wait(0.0).empty());
    EXPECT_TRUE(sel.wait(0.01).empty());
    ends.peer.reset(); // a read would not wait
    EXPECT_EQ(sel.wait(5.0), Values{io.value()});
}

INSTANTIATE_TEST_SUITE_P(Kinds, SelectorEachPeerKind,
                         ::testing::ValuesIn(wait_suite::closable_peer_kinds()),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SelectorTest, DevNullIsAlwaysReady) { // the kernel cannot watch it: a read never waits
    zt::Io null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Selector sel;
    sel.add(null);
    EXPECT_EQ(sel.wait(), Values{null.value()});
    EXPECT_EQ(sel.wait(0.0), Values{null.value()});
}

TEST_F(SelectorTest, TheLimitPassesOnIdleStreams) {
    zt::Ends a = zt::make_pipe();
    zt::Io ia(std::move(a.near));
    Selector sel;
    EXPECT_TRUE(sel.wait(0.0).empty()); // an empty selector waits too
    sel.add(ia);
    const auto start = Clock::now();
    EXPECT_TRUE(sel.wait(0.05).empty());
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50)); // not cut short
}

TEST_F(SelectorTest, WithNoLimitItReturnsWhenInputArrives) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe();
    zt::Io ia(std::move(a.near)), ib(std::move(b.near));
    Selector sel;
    sel.add(ia);
    sel.add(ib);
    std::thread writer([&] { zt::write_all(b.peer.get(), "late"); }); // before or during it
    EXPECT_EQ(sel.wait(), Values{ib.value()});
    writer.join();
}

TEST_F(SelectorTest, RegisteringTwiceAndDeregistering) {
    zt::Ends a = zt::make_pipe();
    zt::write_all(a.peer.get(), "a");
    zt::Io ia(std::move(a.near));
    Selector sel;
    EXPECT_EQ(sel.add(ia), ia.value());
    EXPECT_EQ(sel.add(ia), ia.value()); // once is enough
    EXPECT_EQ(sel.size(), 1);
    EXPECT_EQ(sel.wait(1.0), Values{ia.value()}); // answered once, not twice
    EXPECT_EQ(sel.remove(ia), ia.value());
    EXPECT_EQ(sel.remove(ia), ZL_NIL); // not registered now
    EXPECT_EQ(sel.size(), 0);
    EXPECT_TRUE(sel.wait(0.0).empty()); // ready, but out
    sel.add(ia);                        // and back in
    EXPECT_EQ(sel.wait(1.0), Values{ia.value()});
}

// A stream in two selectors: a fill queues it on both, a close takes it out of both.
TEST_F(SelectorTest, AStreamInTwoSelectors) {
    zt::Ends a = zt::make_pipe();
    zt::write_all(a.peer.get(), "a\nb\n");
    zt::Io ia(std::move(a.near));
    Selector one, two;
    one.add(ia);
    two.add(ia);
    zt::Held line(zelt::call(ia, "gets"));
    zt::syscalls::Counter calls;
    EXPECT_EQ(one.wait(), Values{ia.value()});
    EXPECT_EQ(two.wait(), Values{ia.value()});
    EXPECT_EQ(calls.epoll_waits(), 0u);
    zelt::call(ia, "close");
    EXPECT_EQ(one.size(), 0);
    EXPECT_EQ(two.size(), 0);
    EXPECT_EQ(one.wait(0.0), Values{ia.value()}); // closed: answered once
    EXPECT_EQ(two.wait(0.0), Values{ia.value()});
    EXPECT_TRUE(one.wait(0.0).empty());
    EXPECT_TRUE(two.wait(0.0).empty());
}

// The trap: the kernel keys its interest on the open file, which a dup keeps
// alive after the close. A closed stream is answered once, as closed, and
// never again, however much input reaches its open file; a new stream that
// takes its number is not the old one.
TEST_F(SelectorTest, AClosedStreamIsAnsweredOnceWhileADupKeepsItsFileOpen) {
    zt::Ends a = zt::make_pipe(), idle = zt::make_pipe();
    const int number = a.near.get();
    zt::Fd dup(::dup(number)); // the open file lives on past the close
    zt::Io ia(std::move(a.near)), quiet(std::move(idle.near));
    Selector sel;
    sel.add(ia);
    sel.add(quiet);
    zelt::call(ia, "close");
    EXPECT_TRUE(zelt::io_closed(ia));
    EXPECT_EQ(sel.size(), 1);
    zt::write_all(a.peer.get(), "still flowing"); // readable through the dup
    EXPECT_EQ(sel.wait(1.0), Values{ia.value()});
    zt::Ends reuse = zt::make_pipe(); // the lowest free number: the closed stream's
    EXPECT_EQ(reuse.near.get(), number);
    zt::Io fresh(std::move(reuse.near));
    sel.add(fresh);
    EXPECT_TRUE(sel.wait(0.05).empty()) << "the dup's input reported for a closed stream";
    zt::write_all(reuse.peer.get(), "new");
    EXPECT_EQ(sel.wait(1.0), Values{fresh.value()});
}

// Releasing an IO object takes it out unanswered; releasing the selector
// closes its descriptor; registrations cost no descriptor.
TEST_F(SelectorTest, ReleasesTakeNoDescriptorAndLeaveNone) {
    const int before = zt::open_fd_count();
    {
        std::vector<zt::Ends> ends(16);
        for (zt::Ends &e : ends) e = zt::make_pipe();
        const int with_pipes = zt::open_fd_count();
        Selector sel;
        EXPECT_EQ(zt::open_fd_count(), with_pipes + 1); // its epoll descriptor
        std::vector<zl_value> ios;
        ios.reserve(ends.size());
        for (auto &e : ends) ios.push_back(sel.add(zelt::io_new(e.near.release())));
        EXPECT_EQ(zt::open_fd_count(), with_pipes + 1); // none per stream
        zt::write_all(ends[3].peer.get(), "x");
        zelt::release(ios[3]); // closed and out: never answered
        EXPECT_EQ(sel.size(), 15);
        EXPECT_TRUE(sel.wait(0.0).empty());
        for (std::size_t i = 0; i < ios.size(); ++i)
            if (i != 3) zelt::release(ios[i]);
        EXPECT_EQ(sel.size(), 0);
    }
    EXPECT_EQ(zt::open_fd_count(), before);
}

// A selector made before a fork names the parent's epoll instance in the
// child: the child's calls refuse, its closes and release leave the parent's
// registrations whole. A selector made in the child works there.
TEST_F(SelectorTest, AForkChildRefusesTheParentsSelectorAndLeavesItWhole) {
    zt::Ends a = zt::make_pipe();
    zt::Io ia(std::move(a.near));
    auto sel = std::make_unique<Selector>();
    sel->add(ia);
    const pid_t child = ::fork();
    if (child == 0) {
        int status = 0;
        auto refused = [&](auto call, int bit) {
            try {
                call();
            } catch (const zelt::Error &e) {
                if (e.class_name() == "IOError" &&
                    e.message().find("before a fork") != std::string::npos)
                    return;
            }
            status |= bit;
        };
        refused([&] { sel->wait(0.0); }, 1);
        refused([&] { sel->add(ia); }, 2);
        refused([&] { sel->size(); }, 4);
        zelt::call(ia, "close"); // must not take it out of the parent's interest list
        sel.reset();             // closes the child's reference only
        zt::Ends b = zt::make_pipe();
        zt::write_all(b.peer.get(), "b");
        zt::Io ib(std::move(b.near));
        Selector own;
        own.add(ib);
        if (own.wait(1.0) != Values{ib.value()}) status |= 8;
        ::_exit(status);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    zt::write_all(a.peer.get(), "for the parent");
    EXPECT_EQ(sel->wait(5.0), Values{ia.value()});
}

// At the descriptor limit: a new selector is refused with EMFILE, nothing
// leaked; one made before takes more streams and waits as before.
TEST_F(SelectorTest, AtTheDescriptorLimit) {
    zt::Ends a = zt::make_pipe();
    zt::Io ia(std::move(a.near));
    Selector sel;
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    std::vector<zt::Fd> fill;
    rlimit low = old;
    low.rlim_cur = static_cast<rlim_t>(zt::open_fd_count()) + 8;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fill.emplace_back(fd);
    if (!kSanitized) { // the sanitizers' memory checks make a pipe: at the limit they cannot
        try {
            Selector refused;
            ADD_FAILURE() << "a selector made past the limit";
        } catch (const zelt::Error &e) {
            EXPECT_EQ(e.class_name(), "SystemCallError");
            EXPECT_EQ(e.err(), EMFILE);
        }
    }
    fill.pop_back(); // one free number: a pipe's two need two
    fill.pop_back();
    zt::Ends b = zt::make_pipe();
    zt::Io ib(std::move(b.near));
    sel.add(ia);
    sel.add(ib);
    zt::write_all(b.peer.get(), "b");
    EXPECT_EQ(sel.wait(5.0), Values{ib.value()});
    fill.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &old), 0);
}

// Every bad argument is a clear exception.
TEST_F(SelectorTest, BadArgumentsRaise) {
    zt::Ends a = zt::make_pipe();
    zt::Io ia(std::move(a.near)), closed(zt::make_pipe().near.release());
    zt::Io write_only(a.peer.release());
    zelt::call(closed, "close");
    Selector sel, shut;
    zelt::call(shut, "close");
    zelt::call(shut, "close"); // twice: nothing more
    zt::Held text(zelt::str("x")), negative(zelt::flt(-1.0)), huge(zelt::flt(1e300));
    const zl_value five = zelt::integer(5);
    struct Case {
        const char *what;
        zl_value recv;
        const char *method;
        std::vector<zl_value> args;
        const char *klass;
        const char *message; // a part of it
    } cases[] = {
        {"an Integer", sel, "register", {five}, "TypeError", "expected IO"},
        {"nil", sel, "register", {ZL_NIL}, "TypeError", "expected IO"},
        {"a String", sel, "deregister", {text}, "TypeError", "expected IO"},
        {"a closed IO", sel, "register", {closed}, "IOError", "closed stream"},
        {"a write-only IO", sel, "register", {write_only}, "IOError", "not opened for reading"},
        {"a negative limit", sel, "wait", {negative}, "ArgumentError", ""},
        {"a huge limit", sel, "wait", {huge}, "RangeError", ""},
        {"a String limit", sel, "wait", {text}, "TypeError", ""},
        {"two limits", sel, "wait", {five, five}, "ArgumentError", "wrong number"},
        {"no stream", sel, "register", {}, "ArgumentError", "wrong number"},
        {"a closed selector's wait", shut, "wait", {}, "IOError", "closed selector"},
        {"a closed selector's register", shut, "register", {ia}, "IOError", "closed selector"},
        {"a closed selector's deregister", shut, "deregister", {ia}, "IOError", "closed selector"},
        {"a closed selector's size", shut, "size", {}, "IOError", "closed selector"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        try {
            zelt::call(c.recv, zelt::intern(c.method), static_cast<int>(c.args.size()),
                       c.args.data());
            ADD_FAILURE() << "no exception";
        } catch (const zelt::Error &e) {
            EXPECT_EQ(e.class_name(), c.klass) << e.what();
            EXPECT_NE(e.message().find(c.message), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(sel.size(), 0); // nothing half registered
}

// An extension's own kind of object: its data read back only with its
// kind, freed at its release.
TEST_F(SelectorTest, DataObjectsCarryTheirKind) {
    static int freed = 0;
    static const zl_data_type kind = {"Counter", [](void *p) { freed += *static_cast<int *>(p); }};
    static const zl_data_type other = {"Other", nullptr};
    const zl_value klass = zl_define_class("DataTestCounter", ZL_NIL);
    EXPECT_EQ(zl_define_class("DataTestCounter", ZL_NIL), klass); // defined once
    int payload = 7;
    const zl_value obj = zl_data_new(klass, &kind, &payload);
    EXPECT_EQ(zelt::class_of(obj), klass);
    EXPECT_EQ(zl_data_ptr(obj, &kind), &payload);
    EXPECT_EQ(zelt::inspect(obj), "#<DataTestCounter>");
    for (const zl_value wrong : {obj, zelt::integer(1)}) {
        try {
            zl_data_ptr(wrong, &other);
            ADD_FAILURE() << "read with another kind";
        } catch (const zelt::Error &e) {
            EXPECT_EQ(e.class_name(), "TypeError");
            EXPECT_NE(e.message().find("expected Other"), std::string::npos) << e.what();
        }
    }
    zelt::release(obj);
    EXPECT_EQ(freed, 7);
}

} // namespace
} // namespace many_test
