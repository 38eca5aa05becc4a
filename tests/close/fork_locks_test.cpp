// fork_locks_test.cpp: a fork while another thread is inside one of the
// runtime's sections, blocked in gets, or calling in a loop: the child's
// first call of every kind answers.
#include "bounded_child.hpp" // child_outcome: a hang is reported, not waited for
#include "syscall_hold.hpp"  // Hold: the reader stopped at its ppoll

#include <in_syscall.hpp>   // zh::blocks_in: the forking thread waits in prepare
#include <kernel.hpp>       // make_pipe, Io, Held, write_all, require_wait
#include <syscall_seen.hpp> // zt::syscall_seen: the futex wait's number
#include <test_hooks.hpp>   // while_holding, Section
#include <zelt.h>           // zl_define_method, zl_cIO
#include <zelt/embed.hpp>   // call, str, intern, require

#include <atomic>        // the loop's stop flag
#include <chrono>        // limits
#include <cstdlib>       // setenv
#include <future>        // the reader blocked in gets
#include <gtest/gtest.h> // TEST_P
#include <latch>         // the holder inside its section
#include <linux/futex.h> // FUTEX_WAIT_PRIVATE: the wait whose number is learned
#include <string>        // outcomes
#include <sys/syscall.h> // SYS_futex
#include <thread>        // holder, releaser, loop
#include <unistd.h>      // fork, getpid, gettid, syscall

namespace close_test {
namespace {

using namespace std::chrono_literals;
using zelt::test_hooks::Section;

constexpr auto kChildLimit = 5000ms;
constexpr int kLoopForks = 20; // per calling loop: each fork lands somewhere in its calls

zl_value defined_in_child(zl_value) { return ZL_TRUE; }

// The number /proc shows for a thread asleep in a futex wait: the host's
// under a user-mode emulator. Learned from a thread asleep on a word of its
// own with a value no other wait uses, so that no other futex is taken for it.
long futex_seen() {
    static const long number = [] {
        constexpr uint32_t kMark = 0x5a17;
        std::atomic<uint32_t> word{kMark};
        return zt::syscall_seen(
            SYS_futex,
            [&] {
                while (word.load() == kMark)
                    ::syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, kMark, nullptr, nullptr, 0);
            },
            [](const auto &a) { return a.size() > 2 && a[2] == "0x5a17"; },
            [&] {
                word.store(0);
                ::syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
            });
    }();
    return number;
}

// The child's first call of every kind, on the stream the parent was using
// (SHARED, written through PEER) and on a new one. 0, or the step that
// failed (100 + step when it raised).
int first_calls(zl_value shared, int peer) {
    int step = 0;
    try {
        step = 1;
        if (zelt::id_name(zelt::intern("zt_child_" + std::to_string(::getpid()))).empty())
            return step;
        step = 2;
        if (zelt::string_value(zt::Held(zelt::str("made here"))) != "made here") return step;
        step = 3;
        zl_define_method(zl_cIO, "zt_defined_in_child", ZL_FUNC(defined_in_child), 0);
        if (zelt::call(shared, "zt_defined_in_child") != ZL_TRUE) return step;
        step = 4;
        zelt::require("counter"); // loaded now, or already: either way it answers
        step = 5;
        zt::write_all(peer, "child\n");
        if (zelt::string_value(zt::Held(zelt::call(shared, "gets"))) != "child\n") return step;
        step = 6;
        if (zelt::call(shared, "nread") != zelt::integer(0)) return step;
        step = 7;
        zt::Ends other = zt::make_pipe();
        zt::write_all(other.peer.get(), "abc");
        zt::Io io(std::move(other.near));
        if (zelt::string_value(zt::Held(zelt::call(io, "read", {zelt::integer(3)}))) != "abc")
            return step;
        step = 8;
        zelt::call(shared, "close");
        if (zelt::call(shared, "closed?") != ZL_TRUE) return step;
    } catch (...) {
        return 100 + step;
    }
    return 0;
}

std::string fork_first_calls(zl_value shared, int peer) {
    const pid_t child = ::fork();
    if (child < 0) return "fork failed";
    if (child == 0) ::_exit(first_calls(shared, peer));
    return child_outcome(child, kChildLimit);
}

class ForkWithLocks : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        ::setenv("ZELT_EXT_PATH", ZT_TEST_EXT_DIR, 1); // counter.so
    }
    zt::Ends pipe_ = zt::make_pipe();
    zt::Io io_{std::move(pipe_.near)};
};

// ---- another thread inside a section, held there ----------------------------

struct HeldCase {
    const char *name;
    Section section;
    bool prepare_waits; // the short locks; a reader's turn is taken over instead
};

const HeldCase kHeld[] = {
    {"loader", Section::Loader, true},      {"definitions", Section::Define, true},
    {"interning", Section::Intern, true},   {"registry", Section::Registry, true},
    {"read_buffer", Section::Buffer, true}, {"readers_turn", Section::Turn, false},
};

void PrintTo(const HeldCase &c, std::ostream *os) { *os << c.name; }

class ForkWhileHeld : public ForkWithLocks, public ::testing::WithParamInterface<HeldCase> {};

struct Holder {
    std::latch inside{1}, go{1};
    static void hold(void *p) {
        auto *h = static_cast<Holder *>(p);
        h->inside.count_down();
        h->go.wait();
    }
};

// A thread holds the section; the fork waits for it in prepare (seen in a
// futex wait, then let go) or, for a turn, goes on at once; the child's
// calls answer either way.
TEST_P(ForkWhileHeld, TheChildsFirstCallsAnswer) {
    (void)futex_seen(); // learned before any section is held
    Holder h;
    std::latch forked{1}; // the threads live until then: the child sees none finished
    std::thread holder([&] {
        zelt::test_hooks::while_holding(GetParam().section, io_, Holder::hold, &h);
        forked.wait();
    });
    h.inside.wait();
    const pid_t forker = ::gettid();
    std::thread releaser([&] {
        if (GetParam().prepare_waits) {
            const bool waited = zh::blocks_in(forker, futex_seen(), 2000ms) && !forked.try_wait();
            EXPECT_TRUE(waited) << "the fork did not wait for the section to end";
            h.go.count_down();
        }
        forked.wait();
    });
    const pid_t child = ::fork();
    if (child == 0) ::_exit(first_calls(io_, pipe_.peer.get()));
    forked.count_down();
    const std::string outcome = child_outcome(child, kChildLimit);
    releaser.join();
    if (!GetParam().prepare_waits) h.go.count_down();
    holder.join();
    EXPECT_EQ(outcome, "exit 0");
}

INSTANTIATE_TEST_SUITE_P(Sections, ForkWhileHeld, ::testing::ValuesIn(kHeld),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- another thread blocked in gets ------------------------------------------

TEST_F(ForkWithLocks, ReaderBlockedInGets) {
    Hold hold(Call::Ppoll, zelt::io_fd(io_));
    auto reader = std::async(std::launch::async,
                             [&] { return zelt::string_value(zt::Held(zelt::call(io_, "gets"))); });
    hold.await_reached(); // it holds the turn, its buffer empty, at its wait
    EXPECT_EQ(fork_first_calls(io_, pipe_.peer.get()), "exit 0");
    hold.release();
    zt::write_all(pipe_.peer.get(), "parent\n");
    EXPECT_EQ(reader.get(), "parent\n") << "the parent's reader lost its line";
}

// ---- another thread loading an extension -----------------------------------

// The child has no thread to end the load that was under way: it loads the
// extension itself, rather than wait for that load forever.
TEST_F(ForkWithLocks, LoadUnderWayInAnotherThread) {
    zt::Ends entered = zt::make_pipe(), gate = zt::make_pipe();
    const std::string fds =
        std::to_string(entered.peer.get()) + " " + std::to_string(gate.near.get());
    ::setenv("ZT_SLOW_INIT_FDS", fds.c_str(), 1);
    auto loader = std::async(std::launch::async, [] { return zelt::require("slow_init"); });
    char byte = 0;
    ASSERT_EQ(::read(entered.near.get(), &byte, 1), 1); // its Init_ runs, and waits
    const std::string outcome = run_in_child(
        [] {
            ::unsetenv("ZT_SLOW_INIT_FDS"); // the child's Init_ returns at once
            return zelt::require("slow_init") ? 0 : 1;
        },
        kChildLimit);
    zt::write_all(gate.peer.get(), "g");
    EXPECT_TRUE(loader.get());
    ::unsetenv("ZT_SLOW_INIT_FDS");
    EXPECT_EQ(outcome, "exit 0");
}

// ---- another thread calling in a loop ------------------------------------------

struct LoopCase {
    const char *name;
    void (*step)(unsigned n);
};

zl_value defined_in_loop(zl_value) { return ZL_NIL; }

const LoopCase kLoops[] = {
    {"making_strings", [](unsigned) { zelt::release(zelt::str("in the loop")); }},
    {"interning_new_names", [](unsigned n) { zelt::intern("zt_loop_" + std::to_string(n)); }},
    {"defining_methods",
     [](unsigned) { zl_define_method(zl_cIO, "zt_loop_defined", ZL_FUNC(defined_in_loop), 0); }},
    {"requiring_an_extension", [](unsigned) { zelt::require("counter"); }},
    {"closing_streams",
     [](unsigned) {
         zt::Ends p = zt::make_pipe();
         zt::Io io(std::move(p.near));
         zelt::call(io, "close");
     }},
};

void PrintTo(const LoopCase &c, std::ostream *os) { *os << c.name; }

class ForkWhileLooping : public ForkWithLocks, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(ForkWhileLooping, EveryChildsFirstCallsAnswer) {
    std::atomic<bool> stop{false};
    std::atomic<unsigned> steps{0};
    std::thread loop([&] {
        for (unsigned n = 0; !stop.load(); ++n) {
            GetParam().step(n);
            steps.store(n + 1);
        }
    });
    for (int i = 0; i < kLoopForks; ++i) {
        const unsigned before = steps.load();
        while (steps.load() < before + 2) std::this_thread::yield(); // calls under way
        const std::string outcome = fork_first_calls(io_, pipe_.peer.get());
        EXPECT_EQ(outcome, "exit 0") << "fork " << i;
        if (outcome != "exit 0") break; // the loop is still stopped and joined
    }
    stop.store(true);
    loop.join();
}

INSTANTIATE_TEST_SUITE_P(Loops, ForkWhileLooping, ::testing::ValuesIn(kLoops),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
