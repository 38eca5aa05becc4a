// known_limits_test.cpp: what README's "Known limits" says, held to: the
// kernel's count is a 32-bit int, and an empty datagram reads as the end of
// the stream.
#include "kernel.hpp" // zt::Io, zt::Fd

#include <zelt/embed.hpp> // call, inspect

#include <gtest/gtest.h> // TEST_P

#include <cstdint>      // int64_t
#include <cstdlib>      // mkstemp
#include <ostream>      // PrintTo
#include <string>       // results as they print
#include <sys/socket.h> // socketpair, send
#include <unistd.h>     // ftruncate, unlink
#include <vector>       // the calls

namespace wait_suite {
namespace {

// A sparse regular file of SIZE bytes, open for reading and writing (the
// disk holds none of them).
zt::Fd sparse_file(int64_t size) {
    char path[] = "/tmp/zelt-known-limits-XXXXXX";
    zt::Fd fd(::mkstemp(path));
    ::unlink(path);
    if (fd.get() < 0 || ::ftruncate(fd.get(), size) != 0) ADD_FAILURE() << "no sparse file";
    return fd;
}

// A datagram socket pair whose peer sent an empty datagram, then "x\n".
zt::Fd empty_datagram_first() {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, sv) != 0) ADD_FAILURE() << "socketpair";
    zt::Fd near(sv[0]), peer(sv[1]);
    ::send(peer.get(), "", 0, 0);
    ::send(peer.get(), "x\n", 2, 0);
    return near; // the datagrams stay queued once the peer is gone
}

struct Limit {
    const char *name;
    zt::Fd (*make)();
    std::vector<const char *> calls; // each made without arguments, except wait(0)
    std::vector<const char *> results;
};

void PrintTo(const Limit &c, std::ostream *os) { *os << c.name; }

const int64_t kGiB = int64_t{1} << 30;

const Limit kLimits[] = {
    {"file_of_4_gib_and_5_bytes_counts_5",
     [] { return sparse_file(4 * kGiB + 5); },
     {"nread", "ready?"},
     {"5", "true"}},
    {"file_of_2_gib_and_5_bytes_counts_nothing",
     [] { return sparse_file(2 * kGiB + 5); },
     {"nread", "ready?", "wait(0)"},
     {"0", "false", "nil"}},
    {"empty_datagram_reads_as_the_end",
     empty_datagram_first,
     {"nread", "ready?", "gets", "gets"},
     {"0", "false", "nil", R"("x\n")"}},
};

class KnownLimits : public testing::TestWithParam<Limit> {};

TEST_P(KnownLimits, AreAsReadmeSays) {
    const Limit &c = GetParam();
    zt::Io io(c.make());
    for (std::size_t i = 0; i < c.calls.size(); ++i) {
        const std::string name = c.calls[i];
        zt::Held result(name == "wait(0)" ? zelt::call(io, "wait", {zelt::integer(0)})
                                          : zelt::call(io, name));
        EXPECT_EQ(zelt::inspect(result), c.results[i]) << name;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, KnownLimits, testing::ValuesIn(kLimits),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace wait_suite
