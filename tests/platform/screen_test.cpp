#include "platform/screen.hpp"

#include <gtest/gtest.h>

namespace quillstone::platform {
namespace {

struct ScreenCase {
  const char* width;
  const char* height;
  const char* scale;
  ScreenMetrics expected;
};

class ScreenFromVariables : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ScreenFromVariables, ReadsEachVariableOnItsOwn) {
  const auto& c = GetParam();
  const auto got = screenMetricsFrom(c.width, c.height, c.scale);
  EXPECT_DOUBLE_EQ(got.nativeWidth, c.expected.nativeWidth);
  EXPECT_DOUBLE_EQ(got.nativeHeight, c.expected.nativeHeight);
  EXPECT_DOUBLE_EQ(got.scale, c.expected.scale);
}

INSTANTIATE_TEST_SUITE_P(Table, ScreenFromVariables,
                         ::testing::Values(ScreenCase{"1170", "2532", "3", {1170, 2532, 3}},
                                           ScreenCase{nullptr, nullptr, nullptr, {0, 0, 1}},
                                           ScreenCase{"", "abc", "0", {0, 0, 1}},
                                           ScreenCase{"-5", "10px", "-2", {0, 0, 1}},
                                           ScreenCase{"750.5", "1334", "2.5", {750.5, 1334, 2.5}},
                                           ScreenCase{"inf", "nan", "inf", {0, 0, 1}}));

}  // namespace
}  // namespace quillstone::platform
