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

// Rendered once for report after report, yet never stale: a change of the release or of either
// variable renders it again.
TEST(DeviceInfo, TheCachedRenderingFollowsTheReleaseAndTheVariables) {
  unsetenv("SIMULATOR_RUNTIME_VERSION");
  unsetenv("SIMULATOR_MODEL_IDENTIFIER");
  const auto& services = platform::systemServices();
  DeviceInfoCache cache;
  const struct {
    const char* model;    // null: unset
    const char* version;  // null: unset
    const char* release;
  } steps[] = {
      {nullptr, nullptr, "1.0"},      {nullptr, nullptr, "1.0"},     {nullptr, nullptr, "1.1"},
      {"iPhone15,2", nullptr, "1.1"}, {"iPhone15,2", "17.2", "1.1"}, {"iPhone15,3", "17.2", "1.1"},
      {"iPhone15,3", nullptr, "1.1"}, {nullptr, nullptr, "1.1"},
  };
  for (const auto& step : steps) {
    step.model ? setenv("SIMULATOR_MODEL_IDENTIFIER", step.model, 1)
               : unsetenv("SIMULATOR_MODEL_IDENTIFIER");
    step.version ? setenv("SIMULATOR_RUNTIME_VERSION", step.version, 1)
                 : unsetenv("SIMULATOR_RUNTIME_VERSION");
    EXPECT_EQ(*cache.get(services, step.release), deviceInfo(services, step.release))
        << (step.model ? step.model : "-") << " " << (step.version ? step.version : "-") << " "
        << step.release;
  }
  unsetenv("SIMULATOR_RUNTIME_VERSION");
  unsetenv("SIMULATOR_MODEL_IDENTIFIER");
}

}  // namespace
}  // namespace quillstone::device
