// model_test.cpp: random sequences of reads, queries and peer writes, checked against a model.
//
// Each step is checked against StreamModel: every read hands out exactly the
// bytes the model says. After each step the buffered count is read back from
// the runtime (zl_io_read_pending) and the model follows it; on a pipe and a
// socket pair the kernel must then hold exactly the rest of the unread bytes.
// A pseudo-terminal hands written bytes over to the reading side a little
// later, so there only the byte stream itself is exact.
//
// ZELT_MODEL_SEED=N reruns a reported sequence; ZELT_MODEL_STEPS=N changes its length.
#include "stream_model.hpp" // zh::StreamModel

#include <kernel.hpp> // zt::Ends, make_pipe/socketpair/pty, Io, require_wait

#include <gtest/gtest.h> // TEST_P

#include <cerrno>      // EAGAIN
#include <cstdint>     // uint64_t
#include <cstdlib>     // getenv, strtoull
#include <deque>       // the recent steps, for a failure report
#include <fcntl.h>     // fcntl, O_NONBLOCK
#include <optional>    // the stream under test
#include <ostream>     // PrintTo
#include <random>      // mt19937_64
#include <string>      // bytes
#include <sys/ioctl.h> // ioctl, FIONREAD
#include <unistd.h>    // write

namespace {

enum class Kind { Pipe, SocketPair, Pty };

struct KindInfo {
    Kind kind;
    const char *name;
    std::size_t kernel_room; // bytes the peer may leave unread without filling the kernel
};

constexpr KindInfo kKinds[] = {
    {Kind::Pipe, "Pipe", 60000},
    {Kind::SocketPair, "SocketPair", 60000},
    {Kind::Pty, "Pty", 3000}, // the terminal's input queue is small
};

// Test names and listings show the kind by name.
void PrintTo(const KindInfo &info, std::ostream *out) { *out << info.name; }

uint64_t env_number(const char *name, uint64_t fallback) {
    const char *text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 0) : fallback;
}

// One stream under test: the IO over the near end, the peer, and the model.
class Session {
public:
    Session(const KindInfo &info, std::mt19937_64 &rng) : info_(info), rng_(rng) { open(); }

    // Runs one random step; false, with a description in `why`, on a mismatch.
    bool step(std::string &why);
    const std::deque<std::string> &recent() const { return recent_; }
    uint64_t operations() const { return operations_; }

private:
    void open();
    bool exact() const { return info_.kind != Kind::Pty; }
    std::size_t pick(std::size_t n) {
        return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng_);
    }
    void note(std::string what);

    bool peer_write(std::string &why);
    bool gets(std::string &why);
    bool read_n(std::string &why);
    bool read_all(std::string &why);
    bool nread(std::string &why);
    bool ready(std::string &why);
    bool wait0(std::string &why);
    bool close_and_check(std::string &why);
    bool check_state(std::string &why);

    const KindInfo &info_;
    std::mt19937_64 &rng_;
    std::optional<zt::Io> io_;
    zt::Fd peer_;
    zh::StreamModel model_;
    std::deque<std::string> recent_;
    uint64_t operations_ = 0; // steps that did something: a wait for bytes never sent is skipped
};

void Session::open() {
    zt::Ends ends = info_.kind == Kind::Pipe         ? zt::make_pipe()
                    : info_.kind == Kind::SocketPair ? zt::make_socketpair()
                                                     : zt::make_pty();
    int flags = ::fcntl(ends.peer.get(), F_GETFL);
    ::fcntl(ends.peer.get(), F_SETFL, flags | O_NONBLOCK); // a full kernel shows as a short write
    io_.reset();
    io_.emplace(std::move(ends.near));
    peer_ = std::move(ends.peer);
    model_ = zh::StreamModel();
    note(std::string("open ") + info_.name);
}

void Session::note(std::string what) {
    ++operations_;
    recent_.push_back(std::move(what) + "  [pending " + std::to_string(model_.pending().size()) +
                      ", kernel " + std::to_string(model_.kernel().size()) + "]");
    if (recent_.size() > 12) recent_.pop_front();
}

// A result for a failure report: its size and its first bytes, escaped as the runtime prints them.
std::string show(const std::optional<std::string> &s) {
    if (!s) return "nil";
    zl_value head = zelt::str(s->substr(0, 24));
    std::string text = zelt::inspect(head);
    zelt::release(head);
    return text + (s->size() > 24 ? "..." : "") + " (" + std::to_string(s->size()) + " bytes)";
}

std::optional<std::string> string_result(zl_value v) {
    if (v == ZL_NIL) return std::nullopt;
    std::string s = zelt::string_value(v);
    zelt::release(v);
    return s;
}

bool Session::peer_write(std::string &why) {
    if (model_.eof()) return true;
    std::size_t room =
        info_.kernel_room > model_.kernel().size() ? info_.kernel_room - model_.kernel().size() : 0;
    // mostly short, sometimes past a chunk
    std::size_t len = pick(8) == 0 ? pick(20000) + 1 : pick(120) + 1;
    len = std::min(len, room);
    if (len == 0) return true;
    std::string bytes(len, '\0');
    for (char &c : bytes) c = pick(16) == 0 ? '\n' : static_cast<char>(pick(256));
    ssize_t n = ::write(peer_.get(), bytes.data(), bytes.size());
    if (n < 0 && errno != EAGAIN) {
        why = "peer write failed: errno " + std::to_string(errno);
        return false;
    }
    bytes.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    model_.peer_wrote(bytes);
    note("peer write " + std::to_string(bytes.size()));
    return true;
}

bool Session::gets(std::string &why) {
    if (!model_.gets_ready()) return true; // it would wait for bytes nobody sends
    std::optional<std::string> want = model_.gets();
    std::optional<std::string> got = string_result(zelt::call(*io_, "gets"));
    note("gets -> " + show(got));
    if (got != want) why = "gets returned " + show(got) + ", expected " + show(want);
    return got == want;
}

bool Session::read_n(std::string &why) {
    std::size_t n = pick(4) == 0 ? pick(3) : pick(10000);
    if (!model_.read_ready(n)) return true;
    std::optional<std::string> want = model_.read(n);
    std::optional<std::string> got =
        string_result(zelt::call(*io_, "read", {zelt::integer(static_cast<int64_t>(n))}));
    note("read(" + std::to_string(n) + ") -> " + show(got));
    if (got != want)
        why = "read(" + std::to_string(n) + ") returned " + show(got) + ", expected " + show(want);
    return got == want;
}

bool Session::read_all(std::string &why) {
    if (!model_.eof()) return true;
    std::string want = model_.read_all();
    std::optional<std::string> got = string_result(zelt::call(*io_, "read"));
    note("read -> " + show(got));
    if (got != want) why = "read returned " + show(got) + ", expected " + show(want);
    return got == want;
}

bool Session::nread(std::string &why) {
    zl_value v = zelt::call(*io_, "nread");
    int64_t got = zelt::integer_value(v);
    note("nread -> " + std::to_string(got));
    const std::size_t pending = model_.pending().size();
    if (pending > 0 && got != static_cast<int64_t>(pending))
        why = "nread " + std::to_string(got) + " with " + std::to_string(pending) + " buffered";
    else if (pending == 0 && exact() && got != static_cast<int64_t>(model_.kernel().size()))
        why = "nread " + std::to_string(got) + " with " + std::to_string(model_.kernel().size()) +
              " bytes in the kernel";
    else if (pending == 0 && (got < 0 || got > static_cast<int64_t>(model_.kernel().size())))
        why = "nread " + std::to_string(got) + " with at most " +
              std::to_string(model_.kernel().size()) + " bytes in the kernel";
    return why.empty();
}

bool Session::ready(std::string &why) {
    zl_value got = zelt::call(*io_, "ready?");
    note("ready? -> " + zelt::inspect(got));
    const bool any = model_.unread() > 0;
    if (exact() ? got != zl_bool(any)
                : (got == ZL_TRUE && !any) || got == ZL_NIL ||
                      (got == ZL_FALSE && !model_.pending().empty()))
        why = "ready? " + zelt::inspect(got) + " with " + std::to_string(model_.pending().size()) +
              " bytes buffered and " + std::to_string(model_.kernel().size()) + " in the kernel";
    return why.empty();
}

bool Session::wait0(std::string &why) {
    zl_value got = zelt::call(*io_, "wait", {zelt::integer(0)});
    note("wait(0) -> " + zelt::inspect(got));
    zl_value want = !model_.pending().empty()  ? ZL_TRUE
                    : !model_.kernel().empty() ? zl_value(*io_)
                                               : ZL_NIL;
    const bool fits =
        exact() ? got == want : got == want || (want == zl_value(*io_) && got == ZL_NIL);
    if (!fits) why = "wait(0) " + zelt::inspect(got) + ", expected " + zelt::inspect(want);
    return fits;
}

// Closes the IO, checks that every method then refuses it, and opens a new stream.
bool Session::close_and_check(std::string &why) {
    zl_value first = zelt::call(*io_, "close");
    zl_value again = zelt::call(*io_, "close");
    note("close, close");
    if (first != ZL_NIL || again != ZL_NIL) {
        why = "close returned " + zelt::inspect(first) + ", then " + zelt::inspect(again);
        return false;
    }
    for (const char *method : {"gets", "read", "nread", "ready?", "wait"}) {
        try {
            zelt::call(*io_, method);
            why = std::string(method) + " on a closed stream returned";
            return false;
        } catch (const zelt::Error &e) {
            if (e.class_name() != "IOError" || e.message() != "closed stream") {
                why = std::string(method) + " on a closed stream raised " + e.what();
                return false;
            }
        }
    }
    open();
    return true;
}

// Takes the buffered count from the runtime; on a pipe or a socket pair the
// kernel must hold the rest of the unread bytes, no more and no less.
bool Session::check_state(std::string &why) {
    const int pending = zl_io_read_pending(zl_io_record(*io_));
    if (pending < 0 || static_cast<std::size_t>(pending) > model_.unread()) {
        why = "buffer holds " + std::to_string(pending) + " bytes of " +
              std::to_string(model_.unread()) + " unread";
        return false;
    }
    model_.resync(static_cast<std::size_t>(pending));
    if (!exact()) return true;
    int kernel = -1;
    ::ioctl(zelt::io_fd(*io_), FIONREAD, &kernel);
    if (kernel != static_cast<int>(model_.kernel().size()))
        why = "buffer " + std::to_string(pending) + " and kernel " + std::to_string(kernel) +
              " bytes of " + std::to_string(model_.unread()) + " unread";
    return why.empty();
}

bool Session::step(std::string &why) {
    const std::size_t roll = pick(1000);
    bool ok;
    if (roll < 280)
        ok = peer_write(why);
    else if (roll < 440)
        ok = gets(why);
    else if (roll < 590)
        ok = read_n(why);
    else if (roll < 600)
        ok = read_all(why);
    else if (roll < 720)
        ok = nread(why);
    else if (roll < 840)
        ok = ready(why);
    else if (roll < 990)
        ok = wait0(why);
    else if (roll < 996 &&
             exact()) { // a hung-up terminal discards its input: pipes and sockets only
        peer_.reset();
        model_.peer_closed();
        note("peer close");
        ok = true;
    } else {
        ok = close_and_check(why);
    }
    return ok && check_state(why);
}

class ModelTest : public ::testing::TestWithParam<KindInfo> {
protected:
    static void SetUpTestSuite() { zt::require_wait(); }
};

TEST_P(ModelTest, EveryStepMatchesTheModel) {
    const uint64_t seed = env_number("ZELT_MODEL_SEED", 20261210);
    const uint64_t steps = env_number("ZELT_MODEL_STEPS", 40000);
    std::mt19937_64 rng(seed ^ static_cast<uint64_t>(GetParam().kind));
    Session session(GetParam(), rng);
    for (uint64_t i = 0; session.operations() < steps; ++i) {
        std::string why;
        bool ok = false;
        try {
            ok = session.step(why);
        } catch (const zelt::Error &e) {
            why = std::string("raised ") + e.what();
        }
        if (!ok) {
            std::string trail;
            for (const std::string &s : session.recent()) trail += "\n    " + s;
            FAIL() << GetParam().name << ", step " << i << ": " << why
                   << "\n  rerun with ZELT_MODEL_SEED=" << seed << "; the last steps:" << trail;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Streams, ModelTest, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
