// selector_close_test.cpp: a Selector's wait held at its blocking
// epoll_pwait2 while another thread closes one of its streams or reads input
// into another's buffer. The wait ends at once, answers the closed stream
// and the others that are ready, and never answers the open file that a dup
// keeps alive, nor, later, the number that a new stream took.
#include "syscall_hold.hpp" // Hold, Call

#include <kernel.hpp>     // make_pipe, Io, Fd, write_all, require_wait
#include <selector.hpp>   // Selector
#include <zelt.h>         // zl_io_read_pending, zl_io_record
#include <zelt/embed.hpp> // call, io_closed

#include <chrono>         // the wait's limit
#include <future>         // the held wait, the close
#include <gtest/gtest.h>  // TEST_P
#include <string>         // the method's name
#include <test_hooks.hpp> // close_scanned, selector_descriptor
#include <thread>         // yield
#include <unistd.h>       // dup

namespace close_test {
namespace {

using Values = std::vector<zl_value>;

struct LimitCase {
    const char *name;
    double limit; // below 0: none, so only the close's or the fill's wake ends it
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

class SelectorUnderClose : public ::testing::TestWithParam<LimitCase> {
protected:
    static void SetUpTestSuite() {
        zt::require_wait();
        many_test::require_wait_many();
    }
};

TEST_P(SelectorUnderClose, ACloseEndsTheWaitAndTheOthersAreAnswered) {
    zt::Ends a = zt::make_pipe(), b = zt::make_pipe(), c = zt::make_pipe();
    const int closing = b.near.get();
    zt::Fd dup(::dup(closing)); // held elsewhere: the open file outlives the close
    zt::Io ia(std::move(a.near)), ib(std::move(b.near)), ic(std::move(c.near));
    many_test::Selector sel;
    for (zl_value io : {ia.value(), ib.value(), ic.value()}) sel.add(io);

    Hold hold(Call::EpollWait, zelt::test_hooks::selector_descriptor(sel));
    auto answer = std::async(std::launch::async, [&] { return sel.wait(GetParam().limit); });
    hold.await_reached(); // marked, at its blocking look
    auto closer = std::async(std::launch::async, [&] { zelt::call(ib, "close"); });
    while (!zelt::test_hooks::close_scanned(ib)) std::this_thread::yield();
    zt::write_all(b.peer.get(), "through the dup"); // the old open file, readable
    zt::write_all(c.peer.get(), "ready");
    hold.release();
    closer.get(); // its sends end once the wait has left

    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the close did not end the wait";
    EXPECT_EQ(answer.get(), many_test::sorted({ib.value(), ic.value()}));
    EXPECT_TRUE(zelt::io_closed(ib));
    EXPECT_EQ(sel.size(), 2);
    // The close's call has left: its number is free, and a new stream takes it.
    zt::Ends reuse = zt::make_pipe();
    EXPECT_EQ(reuse.near.get(), closing);
    zt::write_all(reuse.peer.get(), "another stream's");
    zt::Io fresh(std::move(reuse.near));
    EXPECT_EQ(sel.wait(0.0), Values{ic.value()}); // the closed one answered once; no number
    sel.add(fresh);
    EXPECT_EQ(sel.wait(0.0), many_test::sorted({ic.value(), fresh.value()}));
}

TEST_P(SelectorUnderClose, AnotherThreadsReadEndsTheWaitWithItsBufferedInput) {
    zt::Ends a = zt::make_pipe(), lines = zt::make_pipe();
    zt::Io ia(std::move(a.near)), buffered(std::move(lines.near));
    many_test::Selector sel;
    sel.add(ia);
    sel.add(buffered);

    Hold hold(Call::EpollWait, zelt::test_hooks::selector_descriptor(sel));
    auto answer = std::async(std::launch::async, [&] { return sel.wait(GetParam().limit); });
    hold.await_reached();
    zt::write_all(lines.peer.get(), "first\nsecond\n");
    auto reader = std::async(std::launch::async, [&] { // its fill wakes the wait, until it leaves
        zelt::release(zelt::call(buffered, "gets"));   // "second\n" stays, none in the kernel
    });
    while (zl_io_read_pending(zl_io_record(buffered)) == 0) std::this_thread::yield();
    hold.release();
    reader.get();

    ASSERT_EQ(answer.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the fill did not end the wait";
    EXPECT_EQ(answer.get(), Values{buffered.value()});
}

INSTANTIATE_TEST_SUITE_P(Limits, SelectorUnderClose,
                         ::testing::Values(LimitCase{"NoLimit", -1}, LimitCase{"Limit", 30.0}),
                         [](const auto &info) { return std::string(info.param.name); });

// One waiter at a time; a close of the selector under a wait refuses.
TEST(SelectorWaiter, ASecondWaiterAndACloseUnderAWaitRefuse) {
    zt::require_wait();
    many_test::require_wait_many();
    zt::Ends a = zt::make_pipe();
    zt::Io ia(std::move(a.near));
    many_test::Selector sel;
    sel.add(ia);
    Hold hold(Call::EpollWait, zelt::test_hooks::selector_descriptor(sel));
    auto answer = std::async(std::launch::async, [&] { return sel.wait(); });
    hold.await_reached();
    for (const char *method : {"wait", "close"}) {
        SCOPED_TRACE(method);
        try {
            const zl_value zero = zelt::integer(0); // a second wait that is let in answers at once
            if (std::string(method) == "wait")
                zelt::call(sel, method, {zero});
            else
                zelt::call(sel, method);
            ADD_FAILURE() << "no exception";
        } catch (const zelt::Error &e) {
            EXPECT_EQ(e.class_name(), "IOError");
            EXPECT_NE(e.message().find("waits on this selector"), std::string::npos) << e.what();
        }
    }
    zt::write_all(a.peer.get(), "x");
    hold.release();
    EXPECT_EQ(answer.get(), Values{ia.value()});
}

} // namespace
} // namespace close_test
