// close_failures_test.cpp: a close whose own system calls fail, with calls on
// its stream stopped at each place a close can meet them: close(2) itself,
// the barrier (membarrier refused after it was registered), and the wake
// signal's send. Whatever fails, the close returns, no call answers for a
// stream that took the number, every call on the stream ends, and the
// descriptor is given back once, when the last of them has left. The close
// runs on a thread of its own: it returns only once no thread is blocked on
// the stream, so a wait held before its ppoll is let go while it runs.
#include "calls.hpp"     // call, Outcome, inode_of, is_released
#include "in_flight.hpp" // InFlight, Flight
#include "injector.hpp"  // zf::Fault, zf::Sys, zf::barrier_registered

#include <kernel.hpp>     // make_pipe, Io, write_all, require_wait
#include <zelt/embed.hpp> // wake_signal

#include <cerrno>             // EIO, EINTR, EPERM, ENOMEM, EAGAIN, ESRCH, EINVAL
#include <chrono>             // the bound on a close's scan
#include <csignal>            // SIG_UNBLOCK: the take-back's opening
#include <future>             // the close, on a thread of its own
#include <gtest/gtest.h>      // TEST_P
#include <linux/membarrier.h> // MEMBARRIER_CMD_PRIVATE_EXPEDITED
#include <memory>             // the faults of a row
#include <string>             // names
#include <vector>             // the faults of a row

namespace faults_test {
namespace {

using zf::Sys;

// Where the close fails: close(2), the barrier, the wake signal's send, the
// look at the signal's disposition, the opening of the signal that takes
// back one left pending.
enum class Place { Close, Barrier, Send, Disposition, Drain };

struct CloseFailure {
    const char *name;
    Place place;
    int err;
    Flight flight;
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
    // the wake signal's send, refused kRefusedSends times, then made: ESRCH
    // claims the thread is gone, EAGAIN is a full queue; the close's next
    // round sends again, whatever the kernel said
    {"send_esrch_wait_asleep", Place::Send, ESRCH, Flight::WaitAsleep},
    {"send_esrch_wait_held", Place::Send, ESRCH, Flight::WaitHeld},
    {"send_eagain_wait_asleep", Place::Send, EAGAIN, Flight::WaitAsleep},
    // the disposition looked at again, and a signal left pending drained
    {"disposition_einval_wait_asleep", Place::Disposition, EINVAL, Flight::WaitAsleep},
    {"drain_einval_wait_asleep", Place::Drain, EINVAL, Flight::WaitAsleep},
};

constexpr unsigned kRefusedSends = 3; // then the kernel takes them

// The faults of a row's place, then a count of the wake signal's sends.
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
                 .times = kRefusedSends,
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
        add({.sys = Sys::Sigmask,
             .err = c.err,
             .key = SIG_UNBLOCK,
             .times = zf::kEvery,
             .any_thread = true});
        break;
    }
    for (Sys send : {Sys::Tgkill, Sys::Sigqueue}) // the place's own, when sends are its place
        add({.sys = send, .key = zelt::wake_signal(), .times = 0, .any_thread = true});
    return f;
}

unsigned hits(const std::vector<std::unique_ptr<zf::Fault>> &faults) {
    unsigned n = 0;
    for (const auto &f : faults) n += f->hits();
    return n;
}

unsigned seen(const std::vector<std::unique_ptr<zf::Fault>> &faults) {
    unsigned n = 0;
    for (const auto &f : faults) n += f->seen();
    return n;
}

// Until CLOSING has returned or sent a wake: either way it has decided
// whether to give the number back.
bool past_its_scan(const std::future<Outcome> &closing,
                   const std::vector<std::unique_ptr<zf::Fault>> &faults) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (closing.wait_for(std::chrono::milliseconds(1)) == std::future_status::ready)
            return true;
        if (seen(faults) > 0) return true; // no wake without a thread blocked on the stream
    }
    return false;
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
        auto closing = call_on_thread(io, "close");
        if (flight.held()) { // the call cannot have left yet
            ASSERT_TRUE(past_its_scan(closing, faults)) << "the close neither sent nor returned";
            zt::Ends taker = zt::make_pipe(); // the lowest free number, if the close gave it away
            EXPECT_NE(taker.near.get(), fd) << "the number was released under a call";
            EXPECT_EQ(inode_of(fd), mine) << "the number names another file under a call";
        }
        flight.let_go();
        EXPECT_EQ(returned_within_seconds(closing).text, "nil");
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
        if (c.place == Place::Send && c.flight != Flight::None) {
            EXPECT_EQ(hits(faults), kRefusedSends) << "sends refused";
            EXPECT_GT(seen(faults), kRefusedSends) << "no send once the kernel took them";
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
