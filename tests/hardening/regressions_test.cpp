// regressions_test.cpp: inputs that once broke the runtime, kept as plain cases.
#include <kernel.hpp> // zt::make_pipe, Io, write_all

#include <gtest/gtest.h> // TEST

#include <string> // results

namespace {

// The first gets on a stream searched its still unallocated buffer: memchr on
// a null pointer, undefined even for zero bytes (UBSan stops there).
TEST(Regressions, FirstGetsOnAFreshStream) {
    zt::Ends ends = zt::make_pipe();
    zt::write_all(ends.peer.get(), "line\n");
    zt::Io io(std::move(ends.near));
    zl_value line = zelt::call(io, "gets");
    EXPECT_EQ(zelt::string_value(line), "line\n");
    zelt::release(line);
}

} // namespace
