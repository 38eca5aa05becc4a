// give_back_test.cpp: a regular file's read-ahead goes back at the close only
// where no other reader of the open file has read since: IO objects on dups
// of one descriptor, and the two sides of a fork, never get a line twice.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // regular_file, Io, Fd

#include <zelt/embed.hpp> // call, string_value, release

#include <cstdio>        // snprintf: numbered lines
#include <cstdlib>       // exit: a child that ends without closing
#include <gtest/gtest.h> // TEST_P
#include <map>           // how often each line came
#include <string>        // lines
#include <sys/wait.h>    // waitpid
#include <unistd.h>      // dup, fork, _exit, read

namespace rt_test {
namespace {

// Lines of 16 bytes, 512 to a read-ahead chunk, so that every chunk starts
// a line: a line read twice shows whole.
constexpr int kLines = 5000;

std::string line(int i) {
    char text[32];
    std::snprintf(text, sizeof text, "line %010d\n", i);
    return text;
}

std::string numbered_file() {
    std::string all;
    for (int i = 0; i < kLines; ++i) all += line(i);
    return all;
}

// The next line of IO, or "" at its end.
std::string next_line(zl_value io) {
    const zl_value v = zelt::call(io, "gets");
    if (v == ZL_NIL) return {};
    std::string s = zelt::string_value(v);
    zelt::release(v);
    return s;
}

// Counts every line IO gives until its end into SEEN.
void read_to_end(zl_value io, std::map<std::string, int> &seen) {
    for (std::string s; !(s = next_line(io)).empty();) ++seen[s];
}

// Counts the lines left in the open file under FD, read without a buffer.
void read_rest(int fd, std::map<std::string, int> &seen) {
    std::string rest;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) rest.append(chunk, n);
    for (std::size_t at = 0; at + 16 <= rest.size(); at += 16) ++seen[rest.substr(at, 16)];
}

void expect_none_twice(const std::map<std::string, int> &seen) {
    std::size_t twice = 0;
    std::string first;
    for (const auto &[text, times] : seen)
        if (times > 1 && twice++ == 0) first = text;
    EXPECT_EQ(twice, 0u) << "lines read more than once, the first: " << first;
}

// Two IO objects on dups of one descriptor each read a line, so each holds a
// chunk of read-ahead; one closes, the other reads on to the end.
struct DupCase {
    const char *name;
    bool second_closes_first; // the one whose read moved the offset last
    std::size_t lines_seen;   // lost are only the first one's unread lines
};

void PrintTo(const DupCase &c, std::ostream *os) { *os << c.name; }

class DupReaders : public ::testing::TestWithParam<DupCase> {};

TEST_P(DupReaders, NeverGetALineTwice) {
    const DupCase &c = GetParam();
    zt::Fd spare = zt::regular_file(numbered_file());
    zt::Io first(::dup(spare.get())), second(::dup(spare.get()));
    std::map<std::string, int> seen;
    ++seen[next_line(first)];
    ++seen[next_line(second)];
    zt::Io &closing = c.second_closes_first ? second : first;
    zt::Io &going_on = c.second_closes_first ? first : second;
    zelt::call(closing, "close");
    read_to_end(going_on, seen);
    zelt::call(going_on, "close");
    read_rest(spare.get(), seen);
    expect_none_twice(seen);
    EXPECT_EQ(seen.size(), c.lines_seen);
}

INSTANTIATE_TEST_SUITE_P(Runtime, DupReaders,
                         ::testing::Values(DupCase{"last_reader_closes_first", true, kLines},
                                           DupCase{"first_reader_closes_first", false,
                                                   kLines - 511}),
                         ByName());

// The parent reads a line, so holds a chunk of read-ahead, and forks; what
// the child does with its copy leaves the parent's reads as they were.
struct ForkCase {
    const char *name;
    void (*child)(zl_value io); // then the child ends with _exit(0)
};

void PrintTo(const ForkCase &c, std::ostream *os) { *os << c.name; }

class ForkedReader : public ::testing::TestWithParam<ForkCase> {};

const ForkCase kForks[] = {
    {"child_closes", [](zl_value io) { zelt::call(io, "close"); }},
    {"child_releases", [](zl_value io) { zelt::release(io); }},
    {"child_reads_its_copy_then_closes",
     [](zl_value io) {
         next_line(io);
         zelt::call(io, "close");
     }},
    {"child_exits", [](zl_value) { std::exit(0); }}, // the process's exit, with the stream open
};

TEST_P(ForkedReader, KeepsEveryLineOnce) {
    zt::Fd spare = zt::regular_file(numbered_file());
    const zl_value io = zelt::io_new(::dup(spare.get()));
    std::map<std::string, int> seen;
    ++seen[next_line(io)];
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        GetParam().child(io);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    read_to_end(io, seen);
    zelt::release(io);
    read_rest(spare.get(), seen);
    expect_none_twice(seen);
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kLines));
}

INSTANTIATE_TEST_SUITE_P(Runtime, ForkedReader, ::testing::ValuesIn(kForks), ByName());

} // namespace
} // namespace rt_test
