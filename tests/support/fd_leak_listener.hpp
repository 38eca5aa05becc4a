// fd_leak_listener.hpp: a GoogleTest listener that fails every test leaving a descriptor open.
#pragma once

#include <gtest/gtest.h> // EmptyTestEventListener

#include <map>    // descriptor -> what it refers to
#include <string> // readlink targets

namespace zt {

// Compares /proc/self/fd before and after each test and adds a failure to a
// test that leaves descriptors open, naming each with what it refers to.
class FdLeakListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo &test) override;
    void OnTestEnd(const ::testing::TestInfo &test) override;

private:
    std::map<int, std::string> before_;
};

} // namespace zt
