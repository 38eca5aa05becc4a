// descriptor_limit_test.cpp: with the process at its descriptor limit, every
// kind of wait behaves as below it: a stream costs its own descriptor only.
#include <kernel.hpp>     // make_pipe, Io, Fd, write_all, require_wait
#include <zelt/embed.hpp> // call, inspect

#include <atomic>           // the waiter's thread id
#include <chrono>           // durations
#include <cstdlib>          // atol
#include <fcntl.h>          // open
#include <gtest/gtest.h>    // TEST_P
#include <latch>            // the waiter starts its call at the limit
#include <optional>         // the full table, made once the waiter runs
#include <string>           // outcomes
#include <sys/resource.h>   // getrlimit, setrlimit
#include <syscall_seen.hpp> // zt::ppoll_seen: ppoll's number as /proc shows it
#include <thread>           // the waiter
#include <unistd.h>         // gettid, pread
#include <vector>           // the descriptors that fill the table

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
        low.rlim_cur = static_cast<rlim_t>(zt::open_fd_count()) + 16;
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
    // A few descriptors back, once the wait is under way: for the
    // sanitizers, whose checks make a pipe.
    void make_room() { filler_.resize(filler_.size() - 4); }
    AtTheLimit(const AtTheLimit &) = delete;
    AtTheLimit &operator=(const AtTheLimit &) = delete;

private:
    rlimit saved_{};
    std::vector<zt::Fd> filler_;
};

// Whether the thread whose /proc/self/task/TID/syscall is open as PROC sits
// in ppoll; read through a descriptor opened before the table was full.
bool blocks_in_ppoll(int proc, std::chrono::milliseconds within) {
    for (auto until = Clock::now() + within; Clock::now() < until; std::this_thread::yield()) {
        char text[32] = {};
        if (::pread(proc, text, sizeof text - 1, 0) > 0 && std::atol(text) == zt::ppoll_seen())
            return true;
    }
    return false;
}

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

    // The waiter starts before the table is full: the sanitizers' checks as a
    // thread starts want a descriptor of their own.
    std::latch go(1), leave(1); // the thread also ends once the table has room
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::string got;
    std::thread waiter([&] {
        tid = ::gettid();
        go.wait();
        try {
            zt::Held limit(zelt::flt(c.limit_ms / 1000.0));
            zl_value v =
                c.limit_ms >= 0 ? zelt::call(io, c.method, {limit}) : zelt::call(io, c.method);
            got = zelt::inspect(v);
            if (zelt::is_string(v)) zelt::release(v);
            if (got == io_shown) got = "io";
        } catch (const zelt::Error &e) {
            got = e.what();
        }
        done = true;
        leave.wait();
    });
    while (!tid.load()) std::this_thread::yield();
    const std::string path = "/proc/self/task/" + std::to_string(tid.load()) + "/syscall";
    zt::Fd proc(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<AtTheLimit> full(std::in_place);
    const auto start = Clock::now();
    go.count_down();
    if (std::string(c.ends) != "limit") {
        EXPECT_TRUE(blocks_in_ppoll(proc.get(), 5000ms));
        full->make_room();
        if (std::string(c.ends) == "input")
            zt::write_all(pipe.peer.get(), "x\n");
        else
            zelt::call(io, "close");
    }
    for (auto until = Clock::now() + 5s; !done.load() && Clock::now() < until;)
        std::this_thread::yield();
    if (!done.load()) {
        zt::write_all(pipe.peer.get(), "x\n"); // free it, then fail
        ADD_FAILURE() << "the wait did not end";
    }
    full.reset();
    leave.count_down();
    waiter.join();
    EXPECT_EQ(got, c.result);
    if (c.limit_ms > 0 && std::string(c.ends) == "limit") {
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(c.limit_ms));
    }
}

INSTANTIATE_TEST_SUITE_P(Waits, DescriptorLimit, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace close_test
