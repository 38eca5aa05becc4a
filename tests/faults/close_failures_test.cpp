// close_failures_test.cpp: a close whose own system calls fail, with calls on
// its stream stopped at each place a close can meet them: close(2) itself,
// the barrier (membarrier refused after it was registered), and the wake
// signal's send. Whatever fails, the close returns, no call answers for a
// stream that took the number, every call on the stream ends, and the
// descriptor is given back once, when the last of them has left.
#include "calls.hpp"     // call, Outcome, inode_of, is_released
#include "in_flight.hpp" // InFlight, Flight
#include "injector.hpp"  // zf::Fault, zf::Sys, zf::barrier_registered

#include <kernel.hpp>     // make_pipe, Io, write_all, require_wait
#include <zelt/embed.hpp> // wake_signal

#include <cerrno>             // EIO, EINTR, EPERM, ENOMEM, EAGAIN, ESRCH
#include <gtest/gtest.h>      // TEST_P
#include <linux/membarrier.h> // MEMBARRIER_CMD_PRIVATE_EXPEDITED
#include <memory>             // the faults of a row
#include <string>             // names
#include <vector>             // the faults of a row

namespace faults_test {
namespace {

using zf::Sys;

// Where the close fails: close(2), the barrier, the wake signal's send, the
// look at the signal's disposition, the drain of a signal left pending.
enum class Place { Close, Barrier, Send, Disposition, Drain };

struct CloseFailure {
    const char *name;
    Place place;
    int err;
    Flight flight;
    bool needs_input = false; // the call sleeps on until input comes: the send is lost for good
    const char *pending = nullptr; // why the row cannot hold on today's runtime
};

void PrintTo(const CloseFailure &c, std::ostream *os) { *os << c.name; }

const CloseFailure kFailures[] = {
    // close(2): the kernel releases the number whatever it reports; never retried
    {"close_eintr_idle", Place::Close, EINTR, Flight::None},
    {"close_eio_idle", Place::Close, EIO, Flight::None},
    {"close_eio_by_the_last_call_to_leave", Place::Close, EIO, Flight::NreadHeld},
    // membarrier refused after registration (a seccomp filter installed later)
    {"barrier_eperm_idle", Place::Barrier, EPERM, Flight::None},
    {"barrier_eperm_nread_held", Place::Barrier, EPERM, Flight::NreadHeld},
    {"barrier_enomem_gets_held", Place::Barrier, ENOMEM, Flight::GetsHeld},
    {"barrier_eperm_wait_held", Place::Barrier, EPERM, Flight::WaitHeld},
    {"barrier_enomem_wait_asleep", Place::Barrier, ENOMEM, Flight::WaitAsleep},
    // the wake signal's send: ESRCH claims the thread is gone; EAGAIN is a full queue
    {"send_esrch_wait_asleep", Place::Send, ESRCH, Flight::WaitAsleep, true},
    {"send_esrch_wait_held", Place::Send, ESRCH, Flight::WaitHeld, true},
    {"send_eagain_wait_asleep", Place::Send, EAGAIN, Flight::WaitAsleep, false,
     "the close sends the wake signal once and does not look at what the kernel said"},
    // the disposition looked at again, and a signal left pending drained
    {"disposition_einval_wait_asleep", Place::Disposition, EINVAL, Flight::WaitAsleep, false,
     "the close does not look at the signal's disposition"},
    {"drain_eintr_nread_held", Place::Drain, EINTR, Flight::NreadHeld, false,
     "nothing drains a wake signal left pending on a call's thread"},
};

// The faults of a row's place; the close runs on a thread of its own.
std::vector<std::unique_ptr<zf::Fault>> arm(const CloseFailure &c, int fd) {
    std::vector<std::unique_ptr<zf::Fault>> f;
    auto add = [&](zf::Rule r) { f.push_back(std::make_unique<zf::Fault>(r)); };
    switch (c.place) {
    case Place::Close: add({.sys = Sys::Close, .err = c.err, .key = fd, .any_thread = true}); break;
    case Place::Barrier:
        add({.sys = Sys::Membarrier,
             .err = c.err,
             .key = MEMBARRIER_CMD_PRIVATE_EXPEDITED,
             .any_thread = true});
        break;
    case Place::Send: // either way the runtime sends it
        for (Sys send : {Sys::Tgkill, Sys::Sigqueue})
            add({.sys = send,
                 .err = c.err,
                 .key = zelt::wake_signal(),
                 .times = zf::kEvery,
                 .any_thread = true});
        break;
    case Place::Disposition:
        add({.sys = Sys::Sigaction,
             .err = c.err,
             .key = zelt::wake_signal(),
             .times = zf::kEvery,
             .any_thread = true});
        break;
    case Place::Drain:
        add({.sys = Sys::Sigtimedwait,
             .err = c.err,
             .key = zelt::wake_signal(),
             .times = zf::kEvery,
             .any_thread = true});
        break;
    }
    return f;
}

unsigned hits(const std::vector<std::unique_ptr<zf::Fault>> &faults) {
    unsigned n = 0;
    for (const auto &f : faults) n += f->hits();
    return n;
}

class CloseFailures : public ::testing::TestWithParam<CloseFailure> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(CloseFailures, TheCloseReturnsAndEveryCallEnds) {
    const CloseFailure &c = GetParam();
    if (c.pending) GTEST_SKIP() << "pending: " << c.pending;
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    const ino_t mine = inode_of(fd);
    if (c.flight == Flight::GetsHeld) zt::write_all(pipe.peer.get(), "mine\n");
    zt::Io io(std::move(pipe.near));
    InFlight flight(io, fd, c.flight);
    Outcome ended;
    {
        auto faults = arm(c, fd);
        EXPECT_EQ(close_within_seconds(io).text, "nil");
        zt::Ends taker = zt::make_pipe(); // the lowest free number, if the close gave it away
        if (flight.held()) {              // the call cannot have left yet
            EXPECT_NE(taker.near.get(), fd) << "the number was released under a call";
            EXPECT_EQ(inode_of(fd), mine) << "the number names another file under a call";
        }
        flight.let_go();
        if (c.needs_input) {
            zt::write_all(pipe.peer.get(), "x"); // what ends a wait whose wake-up was lost
            zt::write_all(taker.peer.get(), "theirs");
        }
        if (!flight.ends(&ended)) {
            ADD_FAILURE() << "a call on the closed stream sleeps on";
            zt::write_all(pipe.peer.get(), "x"); // frees it, so that the run goes on
            ASSERT_TRUE(flight.ends(&ended));
        }
        const bool made = c.place == Place::Close || c.place == Place::Disposition ||
                          c.place == Place::Drain ||
                          (c.place == Place::Barrier && zf::barrier_registered()) ||
                          (c.place == Place::Send && c.flight != Flight::None);
        if (made) {
            EXPECT_GE(hits(faults), 1u) << "the failure was not made where the row says";
        }
        if (c.place == Place::Close) {
            EXPECT_EQ(faults[0]->seen(), 1u) << "close(2) made again";
        }
    }
    EXPECT_TRUE(flight.answered_rightly(ended)) << ended.text;
    EXPECT_EQ(ended.err, 0) << "a failure of the close reached the call: " << ended.text;
    EXPECT_EQ(zelt::io_fd(io), -1) << "the descriptor outlived the last call";
    EXPECT_TRUE(is_released(fd));
}

INSTANTIATE_TEST_SUITE_P(Faults, CloseFailures, ::testing::ValuesIn(kFailures),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace faults_test
