#include "device/device_info.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>

#include "platform/kernel.hpp"
#include "platform/services.hpp"

namespace quillstone::device {
namespace {

TEST(DeviceInfo, FourTextEntriesWithPrefixedSystemVersion) {
  setenv("SIMULATOR_RUNTIME_VERSION", "17.2", 1);
  setenv("SIMULATOR_MODEL_IDENTIFIER", "iPhone15,2", 1);
  const auto info = nlohmann::json::parse(deviceInfo(platform::systemServices(), "3.1.4-beta"));
  EXPECT_EQ(info, (nlohmann::json{{"platform", "ios"},
                                  {"model", "iPhone15,2"},
                                  {"osVersion", "iOS 17.2"},
                                  {"appVersion", "3.1.4-beta"}}));
}

TEST(DeviceInfo, FallsBackToTheKernel) {
  unsetenv("SIMULATOR_RUNTIME_VERSION");
  unsetenv("SIMULATOR_MODEL_IDENTIFIER");
  const auto names = platform::systemKernel().names();
  const auto info = nlohmann::json::parse(deviceInfo(platform::systemServices(), ""));
  EXPECT_EQ(info["model"], names.machine);
  EXPECT_EQ(info["osVersion"], "iOS " + names.release);
  EXPECT_EQ(info["appVersion"], "");
}

}  // namespace
}  // namespace quillstone::device
