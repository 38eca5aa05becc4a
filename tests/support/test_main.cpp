// test_main.cpp: the main of every suite: GoogleTest, plus a descriptor leak check per test.
#include "fd_leak_listener.hpp" // zt::FdLeakListener

#include <gtest/gtest.h> // InitGoogleTest, RUN_ALL_TESTS

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    auto &listeners = ::testing::UnitTest::GetInstance()->listeners();
    listeners.Append(new zt::FdLeakListener); // GoogleTest owns and deletes it
    return RUN_ALL_TESTS();
}
