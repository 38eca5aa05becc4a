// steady_state_test.cpp: after a first call, each call of nread, ready? and
// wait allocates nothing and makes only the system calls its path needs:
// none when the read buffer answers, one ioctl for a query of the kernel,
// one ppoll and one ioctl for a wait on a stream that is ready.
#include "allocation_count.hpp" // zt::heap::allocations_on_this_thread
#include "kernel.hpp"           // zt::make_pipe, zt::Io, zt::require_wait
#include "syscall_count.hpp"    // zt::syscalls::Counter

#include <gtest/gtest.h> // TEST_P, EXPECT_EQ

#include <cstdint> // uint64_t
#include <cstdlib> // free
#include <cstring> // strdup
#include <fcntl.h> // open
#include <ostream> // PrintTo
#include <string>  // case names
#include <utility> // std::move
#include <vector>  // arguments

namespace {

constexpr int kCalls = 200; // after the first: enough that any per-call cost shows

enum class Stream {
    buffered, // "bcd\n" read ahead into the buffer, "efg" more waiting in the kernel
    one_byte, // the buffer empty, one byte waiting in the kernel
    empty,    // nothing anywhere
    refusing, // /dev/null: the kernel refuses FIONREAD
};

enum class Limit { none, zero, float_limit };

enum class Result { receiver, true_, false_, nil, zero, one, four };

struct Case {
    const char *name;
    const char *method;
    Limit limit;
    Stream stream;
    Result result;
    int ioctls; // per call
    int ppolls;
};

const Case kCases[] = {
    {"nread_buffered", "nread", Limit::none, Stream::buffered, Result::four, 0, 0},
    {"ready_buffered", "ready?", Limit::none, Stream::buffered, Result::true_, 0, 0},
    {"wait0_buffered", "wait", Limit::zero, Stream::buffered, Result::true_, 0, 0},
    {"wait_buffered", "wait", Limit::none, Stream::buffered, Result::true_, 0, 0},
    {"nread_kernel", "nread", Limit::none, Stream::one_byte, Result::one, 1, 0},
    {"ready_kernel", "ready?", Limit::none, Stream::one_byte, Result::true_, 1, 0},
    {"nread_empty", "nread", Limit::none, Stream::empty, Result::zero, 1, 0},
    {"ready_empty", "ready?", Limit::none, Stream::empty, Result::false_, 1, 0},
    {"nread_refused", "nread", Limit::none, Stream::refusing, Result::zero, 1, 0},
    {"ready_refused", "ready?", Limit::none, Stream::refusing, Result::nil, 1, 0},
    {"wait0_ready", "wait", Limit::zero, Stream::one_byte, Result::receiver, 1, 1},
    {"wait0_empty", "wait", Limit::zero, Stream::empty, Result::nil, 1, 1},
    {"wait_ready", "wait", Limit::none, Stream::one_byte, Result::receiver, 1, 1},
    {"wait_limit_ready", "wait", Limit::float_limit, Stream::one_byte, Result::receiver, 1, 1},
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

// The stream of a case, with its far end kept open for as long as it runs.
class Prepared {
public:
    explicit Prepared(Stream stream) : ends_(ends_for(stream)), io_(near_end(stream, ends_)) {
        if (stream == Stream::one_byte) zt::write_all(ends_.peer.get(), "x");
        if (stream == Stream::buffered) {
            zt::write_all(ends_.peer.get(), "a\nbcd\n");
            zelt::release(zelt::call(io_, "gets")); // reads all six bytes ahead, takes "a\n"
            zt::write_all(ends_.peer.get(), "efg");
        }
    }
    zl_value io() const { return io_; }

private:
    static zt::Ends ends_for(Stream stream) {
        return stream == Stream::refusing ? zt::Ends{} : zt::make_pipe();
    }
    static zt::Fd near_end(Stream stream, zt::Ends &ends) {
        if (stream == Stream::refusing) return zt::Fd(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        return std::move(ends.near);
    }

    zt::Ends ends_;
    zt::Io io_;
};

zl_value expected(Result r, zl_value receiver) {
    switch (r) {
    case Result::receiver: return receiver;
    case Result::true_: return ZL_TRUE;
    case Result::false_: return ZL_FALSE;
    case Result::nil: return ZL_NIL;
    case Result::zero: return zelt::integer(0);
    case Result::one: return zelt::integer(1);
    case Result::four: return zelt::integer(4);
    }
    return ZL_NIL;
}

// The limit's argument list; a Float is a heap object, made once, here.
class Arguments {
public:
    explicit Arguments(Limit limit) {
        if (limit == Limit::zero) values.push_back(zelt::integer(0));
        if (limit == Limit::float_limit) values.push_back(zelt::flt(2.5));
    }
    ~Arguments() {
        for (zl_value v : values) zelt::release(v);
    }
    Arguments(const Arguments &) = delete;
    Arguments &operator=(const Arguments &) = delete;
    int count() const { return static_cast<int>(values.size()); }
    const zl_value *data() const { return values.data(); }

private:
    std::vector<zl_value> values;
};

class SteadyState : public testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(SteadyState, AllocatesNothingAndMakesOnlyItsPathsSystemCalls) {
    const Case &c = GetParam();
    const Prepared stream(c.stream);
    const Arguments args(c.limit);
    const zelt::Id method = zelt::intern(c.method);
    const zl_value want = expected(c.result, stream.io());
    ASSERT_EQ(zelt::call(stream.io(), method, args.count(), args.data()), want) << "first call";

    // No assertion inside the loop: a failing one would allocate.
    int wrong = 0;
    const zt::syscalls::Counter syscalls;
    const std::uint64_t heap_before = zt::heap::allocations_on_this_thread();
    for (int i = 0; i < kCalls; ++i)
        wrong += zelt::call(stream.io(), method, args.count(), args.data()) != want;
    const std::uint64_t allocations = zt::heap::allocations_on_this_thread() - heap_before;
    const std::uint64_t ioctls = syscalls.ioctls(), ppolls = syscalls.ppolls();
    const std::uint64_t polled = syscalls.polled_fds();

    EXPECT_EQ(wrong, 0) << "calls that left the path under test";
    EXPECT_EQ(allocations, 0u) << "over " << kCalls << " calls";
    EXPECT_EQ(ioctls, std::uint64_t(kCalls) * c.ioctls);
    EXPECT_EQ(ppolls, std::uint64_t(kCalls) * c.ppolls);
    EXPECT_EQ(polled, ppolls) << "each ppoll polls the stream's descriptor alone";
}

INSTANTIATE_TEST_SUITE_P(Paths, SteadyState, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case> &info) {
                             return std::string(info.param.name);
                         });

// The zero counts above mean something only if the counter sees what is
// allocated inside libzelt, and plain malloc where malloc is counted.
TEST(AllocationCounter, SeesOperatorNewInsideTheRuntime) {
    const std::uint64_t before = zt::heap::allocations_on_this_thread();
    zelt::release(zelt::str("made by libzelt"));
    EXPECT_GT(zt::heap::allocations_on_this_thread(), before);
}

TEST(AllocationCounter, SeesMallocInsideTheCLibrary) {
    if (!zt::heap::counts_malloc())
        GTEST_SKIP() << "a sanitizer owns malloc here: operator new only";
    const std::uint64_t before = zt::heap::allocations_on_this_thread();
    char *copy = ::strdup("made by the C library");
    ::free(copy);
    EXPECT_GT(zt::heap::allocations_on_this_thread(), before);
}

} // namespace
