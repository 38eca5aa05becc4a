// load_extension.cpp: every test in this executable calls the extension's
// methods, so it is loaded once before the first test runs.
#include "kernel.hpp" // zt::require_wait

#include <gtest/gtest.h> // testing::Environment

namespace {

class LoadWait : public testing::Environment {
    void SetUp() override { zt::require_wait(); }
};

[[maybe_unused]] testing::Environment *const kLoadWait =
    testing::AddGlobalTestEnvironment(new LoadWait);

} // namespace
