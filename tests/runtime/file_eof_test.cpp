// file_eof_test.cpp: eof? on regular files, where the kernel's count (FIONREAD)
// is cut to 32 bits or says nothing: large sparse files are counted from
// their size and read nothing; proc and sysfs files are read to tell.
#include "case_names.hpp" // ByName
#include "kernel.hpp"     // Io, Fd

#include <zelt.h>         // zl_io_read_pending, zl_io_record
#include <zelt/embed.hpp> // call, string_value, release

#include <cstdint>       // int64_t: offsets past 4 GiB
#include <fcntl.h>       // open, O_RDONLY
#include <gtest/gtest.h> // TEST_P
#include <string>        // what a pseudo-file holds
#include <unistd.h>      // ftruncate, lseek, unlink, mkstemp

namespace rt_test {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;

// A sparse file of SIZE bytes (it takes no disk), opened for reading at AT.
zt::Fd sparse_file(int64_t size, int64_t at) {
    char path[] = "/tmp/zelt-sparse-XXXXXX";
    zt::Fd writer(::mkstemp(path));
    EXPECT_EQ(::ftruncate(writer.get(), size), 0);
    zt::Fd reader(::open(path, O_RDONLY | O_CLOEXEC));
    ::unlink(path);
    EXPECT_EQ(::lseek(reader.get(), at, SEEK_SET), at);
    return reader;
}

struct SparseCase {
    const char *name;
    int64_t size, at;
    bool eof;
};

void PrintTo(const SparseCase &c, std::ostream *os) { *os << c.name; }

class SparseFile : public ::testing::TestWithParam<SparseCase> {};

// FIONREAD would say 0 at 4 GiB from the end, and a negative count 3 GiB
// from it, which sent eof? to read ahead.
const SparseCase kSparse[] = {
    {"4GiB_at_start", 4 * kGiB, 0, false},
    {"4GiB_at_end", 4 * kGiB, 4 * kGiB, true},
    {"4GiB_plus_5_at_5", 4 * kGiB + 5, 5, false},
    {"3GiB_at_start", 3 * kGiB, 0, false},
    {"3GiB_a_byte_before_the_end", 3 * kGiB, 3 * kGiB - 1, false},
    {"3GiB_at_end", 3 * kGiB, 3 * kGiB, true},
    {"3GiB_past_the_end", 3 * kGiB, 5 * kGiB, true},
};

TEST_P(SparseFile, EofCountsFromTheSizeAndReadsNothing) {
    const SparseCase &c = GetParam();
    zt::Fd spare = sparse_file(c.size, c.at);
    zt::Io io(::dup(spare.get()));
    EXPECT_EQ(zelt::call(io, "eof?"), zl_bool(c.eof));
    EXPECT_EQ(zl_io_read_pending(zl_io_record(io)), 0) << "eof? read into the buffer";
    EXPECT_EQ(::lseek(spare.get(), 0, SEEK_CUR), c.at) << "eof? moved the offset";
}

INSTANTIATE_TEST_SUITE_P(Runtime, SparseFile, ::testing::ValuesIn(kSparse), ByName());

// Files whose size says nothing of what they hold: eof? is false while a
// read still finds bytes, and true once the reads are done.
struct PseudoCase {
    const char *name;
    const char *path; // skipped where the system has none
};

void PrintTo(const PseudoCase &c, std::ostream *os) { *os << c.name; }

class PseudoFile : public ::testing::TestWithParam<PseudoCase> {};

TEST_P(PseudoFile, EofTellsWhatAReadFinds) {
    const int fd = ::open(GetParam().path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) GTEST_SKIP() << GetParam().path << " cannot be opened here";
    zt::Io io(fd);
    EXPECT_EQ(zelt::call(io, "eof?"), ZL_FALSE) << "at the start";
    const zl_value all = zelt::call(io, "read");
    EXPECT_FALSE(zelt::string_value(all).empty());
    zelt::release(all);
    EXPECT_EQ(zelt::call(io, "eof?"), ZL_TRUE) << "once read";
}

// A proc file counts 0; a sysfs attribute counts a page whatever it holds.
INSTANTIATE_TEST_SUITE_P(
    Runtime, PseudoFile,
    ::testing::Values(PseudoCase{"proc_self_status", "/proc/self/status"},
                      PseudoCase{"proc_sys_value", "/proc/sys/kernel/osrelease"},
                      PseudoCase{"sysfs_attribute", "/sys/kernel/mm/transparent_hugepage/enabled"},
                      PseudoCase{"sysfs_cpu_list", "/sys/devices/system/cpu/online"}),
    ByName());

} // namespace
} // namespace rt_test
