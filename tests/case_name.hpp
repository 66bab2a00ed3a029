// Names parameterised test cases after the `name` field of their parameter.
#pragma once

#include <gtest/gtest.h>

#include <string>

struct case_name {
  template <class Param>
  std::string operator()(const testing::TestParamInfo<Param>& param_info) const {
    return param_info.param.name;
  }
};
