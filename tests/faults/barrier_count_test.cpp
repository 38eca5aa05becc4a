// barrier_count_test.cpp: a close makes exactly one expedited barrier, with
// or without a call in flight on its stream. Without it a caller's store of
// its stream may still sit in its store buffer when the close scans, and the
// close releases the number under that call; the race rarely shows on x86,
// the count shows it every time. Where the runtime fences instead
// (ZELT_NO_MEMBARRIER, or a kernel that refused the registration), there is
// no barrier to count.
#include "calls.hpp"     // call_on_thread, returned_within_seconds
#include "in_flight.hpp" // InFlight, Flight
#include "injector.hpp"  // zf::Fault, zf::barrier_registered

#include <kernel.hpp> // make_pipe, Io, write_all, require_wait

#include <gtest/gtest.h>      // TEST_P
#include <linux/membarrier.h> // MEMBARRIER_CMD_PRIVATE_EXPEDITED
#include <string>             // names

namespace faults_test {
namespace {

class BarrierCount : public ::testing::TestWithParam<Flight> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(BarrierCount, OneBarrierPerClose) {
    if (!zf::barrier_registered()) GTEST_SKIP() << "the runtime fences: no barrier to count";
    zt::Ends pipe = zt::make_pipe();
    const int fd = pipe.near.get();
    if (GetParam() == Flight::GetsHeld) zt::write_all(pipe.peer.get(), "mine\n");
    zt::Io io(std::move(pipe.near));
    InFlight flight(io, fd, GetParam());
    zf::Fault barriers({.sys = zf::Sys::Membarrier,
                        .key = MEMBARRIER_CMD_PRIVATE_EXPEDITED,
                        .times = 0,
                        .any_thread = true});
    auto closing = call_on_thread(io, "close"); // returns once no wait is held before its ppoll
    flight.let_go();
    EXPECT_EQ(returned_within_seconds(closing).text, "nil");
    EXPECT_EQ(barriers.seen(), 1u) << "barriers made by the close";
    Outcome ended;
    ASSERT_TRUE(flight.ends(&ended));
    EXPECT_TRUE(flight.answered_rightly(ended)) << ended.text;
    EXPECT_EQ(barriers.seen(), 1u) << "barriers made by the call leaving a closed stream";
}

INSTANTIATE_TEST_SUITE_P(Faults, BarrierCount,
                         ::testing::Values(Flight::None, Flight::NreadHeld, Flight::GetsHeld,
                                           Flight::WaitHeld, Flight::WaitAsleep),
                         [](const auto &info) { return std::string(flight_name(info.param)); });

} // namespace
} // namespace faults_test
