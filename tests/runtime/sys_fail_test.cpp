// sys_fail_test.cpp: zl_sys_fail turns the errno of a failed call into SystemCallError.
#include "case_names.hpp" // ByName
#include "raised.hpp"     // raised_by

#include <zelt.h> // zl_sys_fail

#include <cerrno>        // errno
#include <fcntl.h>       // open, fcntl
#include <gtest/gtest.h> // TEST_P
#include <sys/ioctl.h>   // ioctl, FIONREAD
#include <unistd.h>      // close

namespace rt_test {
namespace {

// Each makes a real call fail and leaves its errno behind.
int fionread_on_dev_null() {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int n = 0;
    ::ioctl(fd, FIONREAD, &n);
    int err = errno;
    ::close(fd);
    return err;
}
int fcntl_on_minus_one() { return ::fcntl(-1, F_GETFD), errno; }
int unknown_errno() { return 4000; }

struct Failure {
    const char *name;
    int (*fail)(); // returns the errno to raise for
    const char *message;
    const char *text;
    int err;
};

void PrintTo(const Failure &c, std::ostream *os) { *os << c.name; }

const Failure kFailures[] = {
    {"enotty", fionread_on_dev_null, nullptr, "ENOTTY: Inappropriate ioctl for device", ENOTTY},
    {"ebadf_with_words", fcntl_on_minus_one, "fd -1", "EBADF: Bad file descriptor - fd -1", EBADF},
    {"unknown_errno", unknown_errno, nullptr, "errno 4000: Unknown error 4000", 4000},
};

class SysFail : public ::testing::TestWithParam<Failure> {};

TEST_P(SysFail, RaisesSystemCallErrorForErrno) {
    const Failure &c = GetParam();
    const int err = c.fail();
    Raised r = raised_by([&] {
        errno = err;
        zl_sys_fail(c.message);
    });
    EXPECT_EQ(r.class_name, "SystemCallError");
    EXPECT_EQ(r.message, c.text);
    EXPECT_EQ(r.err, c.err);
}

INSTANTIATE_TEST_SUITE_P(Runtime, SysFail, ::testing::ValuesIn(kFailures), ByName());

} // namespace
} // namespace rt_test
