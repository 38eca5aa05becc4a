// case_names.hpp: table cases show by name in test names and listings.
#pragma once

#include <gtest/gtest.h> // TestParamInfo

#include <string> // the name

namespace rt_test {

// For INSTANTIATE_TEST_SUITE_P: a case named by its `name` field.
struct ByName {
    template <class Case> std::string operator()(const ::testing::TestParamInfo<Case> &info) const {
        return info.param.name;
    }
};

} // namespace rt_test
