// descriptor_limit_test.cpp: with the process at its descriptor limit, every
// kind of wait behaves as below it: a stream costs its own descriptor only.
#include <in_syscall.hpp> // zh::blocks_in
#include <kernel.hpp>     // make_pipe, Io, Fd, write_all, require_wait
#include <zelt/embed.hpp> // call, inspect

#include <atomic>         // the waiter's thread id
#include <chrono>         // durations
#include <fcntl.h>        // open
#include <functional>     // what each case does to end the wait
#include <future>         // the waiter
#include <gtest/gtest.h>  // TEST_P
#include <ppoll_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it
#include <string>         // outcomes
#include <sys/resource.h> // getrlimit, setrlimit
#include <thread>         // yield
#include <unistd.h>       // gettid
#include <vector>         // the descriptors that fill the table

namespace close_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Lowers the limit to a little above what is open, then fills the table.
class AtTheLimit {
public:
    AtTheLimit() {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlimit low = saved_;
        low.rlim_cur = static_cast<rlim_t>(zt::open_fd_count() + 16);
        setrlimit(RLIMIT_NOFILE, &low);
        for (;;) {
            int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (fd < 0) break;
            filler_.emplace_back(fd);
        }
    }
    ~AtTheLimit() {
        filler_.clear();
        setrlimit(RLIMIT_NOFILE, &saved_);
    }
    // One descriptor back, for a look at /proc once the wait is under way.
    void make_room() { filler_.pop_back(); }
    AtTheLimit(const AtTheLimit &) = delete;
    AtTheLimit &operator=(const AtTheLimit &) = delete;

private:
    rlimit saved_{};
    std::vector<zt::Fd> filler_;
};

struct LimitCase {
    const char *name;
    const char *method;
    int limit_ms;       // -1: no limit
    const char *ends;   // "limit", "input" or "close"
    const char *result; // what the call answers
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

const LimitCase kCases[] = {
    {"bounded_wait_times_out", "wait", 100, "limit", "nil"},
    {"wait_returns_on_input", "wait", -1, "input", "io"},
    {"bounded_wait_returns_on_input", "wait", 10000, "input", "io"},
    {"wait_ends_on_close", "wait", -1, "close", "IOError: closed stream"},
    {"gets_returns_on_input", "gets", -1, "input", "\"x\\n\""},
    {"gets_ends_on_close", "gets", -1, "close", "IOError: closed stream"},
    {"read_ends_on_close", "read", -1, "close", "IOError: closed stream"},
};

class DescriptorLimit : public ::testing::TestWithParam<LimitCase> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(DescriptorLimit, WaitsWorkAsBelowIt) {
    const LimitCase &c = GetParam();
    zt::Ends pipe = zt::make_pipe();
    zt::Io io(std::move(pipe.near));
    const std::string io_shown = zelt::inspect(io);
    (void)zt::ppoll_seen(); // learned while descriptors are still free
    AtTheLimit full;

    std::atomic<pid_t> tid{0};
    const auto start = Clock::now();
    auto waiter = std::async(std::launch::async, [&] {
        tid = ::gettid();
        try {
            zt::Held limit(zelt::flt(c.limit_ms / 1000.0));
            zl_value v =
                c.limit_ms >= 0 ? zelt::call(io, c.method, {limit}) : zelt::call(io, c.method);
            std::string shown = zelt::inspect(v);
            if (zelt::is_string(v)) zelt::release(v);
            return shown == io_shown ? std::string("io") : shown;
        } catch (const zelt::Error &e) {
            return std::string(e.what());
        }
    });
    while (!tid.load()) std::this_thread::yield();
    if (std::string(c.ends) != "limit") {
        full.make_room();
        EXPECT_TRUE(zh::blocks_in(tid.load(), zt::ppoll_seen(), 5000ms));
        if (std::string(c.ends) == "input")
            zt::write_all(pipe.peer.get(), "x\n");
        else
            zelt::call(io, "close");
    }
    if (waiter.wait_for(5s) == std::future_status::timeout) {
        zt::write_all(pipe.peer.get(), "x\n"); // free it, then fail
        ADD_FAILURE() << "the wait did not end";
    }
    EXPECT_EQ(waiter.get(), c.result);
    if (c.limit_ms > 0 && std::string(c.ends) == "limit") {
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.limit_ms));
    }
}

INSTANTIATE_TEST_SUITE_P(Waits, DescriptorLimit, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
