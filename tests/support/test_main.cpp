// test_main.cpp: the main of every suite: GoogleTest, plus a descriptor leak check per test.
#include "fd_leak_listener.hpp" // zt::FdLeakListener

#include <gtest/gtest.h> // InitGoogleTest, RUN_ALL_TESTS

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new zt::FdLeakListener); // owned by GoogleTest
    return RUN_ALL_TESTS();
}
