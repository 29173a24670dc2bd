#include "device/full_profile.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <quillstone/attribution.hpp>
#include <quillstone/quillstone.hpp>
#include <set>

#include "platform/services.hpp"
#include "support/temp_home.hpp"

namespace quillstone::device {
namespace {

using Json = nlohmann::json;
using ::testing::MatchesRegex;

// A phone-sized machine with every value readable.
ProfileInputs typicalInputs() {
  ProfileInputs in;
  in.screen = {1170, 2532, 3};
  in.disk = platform::DiskSpace{64'000'000'000, 10'485'759};
  in.infoDictionary = {{"CFBundleVersion", "812"}, {"CFBundleShortVersionString", "9.9"}};
  in.bundleIdentifier = "com.example.shop";
  in.model = "iPhone14,7";
  in.modelName = "iPhone14,7";
  in.osVersion = "17.2";
  in.appVersion = "3.1.4";
  in.stableId = "0F0E0D0C-0B0A-0908-0706-050403020100";
  in.locale = "de_DE";
  in.timeZone = "Europe/Berlin";
  in.network = "wifi";
  in.cpuArch = "x86_64";
  in.processorCount = 6;
  in.physicalMemoryBytes = 3'221'225'472;
  in.integrity = {"ab12", true, "libhook.so", false};
  return in;
}

std::set<std::string> keysOf(const Json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

TEST(FullProfile, MapsEveryInputWithItsUnit) {
  const Json profile = fullDeviceInfo(typicalInputs());
  const Json expected = {
      {"platform", "ios"},
      {"brand", "Apple"},
      {"model", "iPhone14,7"},
      {"modelName", "iPhone14,7"},
      {"os", "iOS"},
      {"osVersion", "17.2"},
      {"appVersion", "3.1.4"},
      {"build", "812"},
      {"bundleId", "com.example.shop"},
      {"stableId", "0F0E0D0C-0B0A-0908-0706-050403020100"},
      {"sdkVersion", "1.0.0-ios"},
      {"screen", {{"w", 390}, {"h", 844}, {"scale", 3.0}}},
      {"locale", "de_DE"},
      {"timezone", "Europe/Berlin"},
      {"network", "wifi"},
      {"cpuArch", "x86_64"},
      {"cpuCores", 6},
      {"memoryMb", 3072},      // 3 GiB shifted right by 20
      {"diskTotalMb", 61035},  // 61,035.16 truncated
      {"diskFreeMb", 9},       // one byte short of 10 MiB
      {"isSimulator", true},
      {"isRooted", false},
      {"isDebug", false},
      {"signature", "ab12"},
      {"debuggerAttached", true},
      {"hookFramework", "libhook.so"},
      {"sideloaded", false},
  };
  EXPECT_EQ(profile, expected);
  EXPECT_EQ(profile.size(), 27u);
  EXPECT_TRUE(profile["screen"]["w"].is_number_integer());
  EXPECT_TRUE(profile["screen"]["scale"].is_number_float());
  EXPECT_TRUE(profile["diskTotalMb"].is_number_integer());
}

struct ScreenCase {
  std::string label;
  platform::ScreenMetrics metrics;
  std::int64_t w;
  std::int64_t h;
};

void PrintTo(const ScreenCase& c, std::ostream* os) { *os << c.label; }

class ProfileScreen : public ::testing::TestWithParam<ScreenCase> {};

TEST_P(ProfileScreen, PointsAreTruncatedAndScaleIsKeptWhole) {
  ProfileInputs in = typicalInputs();
  in.screen = GetParam().metrics;
  const Json screen = fullDeviceInfo(in)["screen"];
  EXPECT_EQ(keysOf(screen), (std::set<std::string>{"w", "h", "scale"}));
  EXPECT_EQ(screen["w"], GetParam().w);
  EXPECT_EQ(screen["h"], GetParam().h);
  EXPECT_EQ(screen["scale"].get<double>(), GetParam().metrics.scale);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ProfileScreen,
    ::testing::Values(ScreenCase{"truncated not rounded", {414.9, 896.99, 1}, 414, 896},
                      ScreenCase{"fractional scale", {1242, 2688, 2.5}, 496, 1075},
                      ScreenCase{"no screen", {0, 0, 1}, 0, 0},
                      // Too large for an integer: unreadable, not undefined behaviour.
                      ScreenCase{"beyond an integer", {1e300, 844, 1}, 0, 844}));

TEST(FullProfile, UnreadableValuesBecomeFallbacksAndNoKeyIsLeftOut) {
  ProfileInputs in = typicalInputs();
  in.disk.reset();
  in.infoDictionary = Json::object();
  in.bundleIdentifier.reset();
  in.processorCount = -1;
  in.physicalMemoryBytes = 0;
  in.network = "";
  const Json profile = fullDeviceInfo(in);
  EXPECT_EQ(profile.size(), 27u);
  EXPECT_EQ(profile["diskTotalMb"], 0);
  EXPECT_EQ(profile["diskFreeMb"], 0);
  EXPECT_EQ(profile["build"], "");
  EXPECT_EQ(profile["bundleId"], "");
  EXPECT_EQ(profile["cpuCores"], 0);
  EXPECT_EQ(profile["memoryMb"], 0);
  EXPECT_EQ(profile["network"], "");
  // The rest is untouched by the missing values.
  Json rest = profile;
  Json typical = fullDeviceInfo(typicalInputs());
  for (const char* key :
       {"diskTotalMb", "diskFreeMb", "build", "bundleId", "cpuCores", "memoryMb", "network"}) {
    rest.erase(key);
    typical.erase(key);
  }
  EXPECT_EQ(rest, typical);
}

TEST(FullProfile, BuildIsTheBundleVersionEntryAsText) {
  ProfileInputs in = typicalInputs();
  in.infoDictionary = {{"CFBundleVersion", 42}};
  EXPECT_EQ(fullDeviceInfo(in)["build"], "42");
  in.infoDictionary = {{"CFBundleIdentifier", "com.example.shop"}};
  EXPECT_EQ(fullDeviceInfo(in)["build"], "");
}

// The profile as the client gathers it, from this process's services.
Json fullDeviceInfo(const std::string& release) {
  return device::fullDeviceInfo(
      platform::systemServices(), [] { return Attribution::shared().deviceId(); }, release);
}

TEST(FullProfile, GatheredFromThisMachine) {
  testing::TempHome home;
  setenv("SIMULATOR_RUNTIME_VERSION", "17.2", 1);
  setenv("SIMULATOR_MODEL_IDENTIFIER", "iPhone15,2", 1);
  setenv("SIMULATOR_MAINSCREEN_WIDTH", "1179", 1);
  setenv("SIMULATOR_MAINSCREEN_HEIGHT", "2556", 1);
  setenv("SIMULATOR_MAINSCREEN_SCALE", "3", 1);

  const Json first = fullDeviceInfo("2.0.0");
  EXPECT_EQ(first.size(), 27u);
  EXPECT_EQ(first["model"], "iPhone15,2");
  EXPECT_EQ(first["modelName"], "iPhone15,2");
  EXPECT_EQ(first["osVersion"], "17.2");  // no "iOS " prefix in the profile
  EXPECT_EQ(first["appVersion"], "2.0.0");
  EXPECT_EQ(first["screen"], (Json{{"w", 393}, {"h", 852}, {"scale", 3.0}}));
  EXPECT_EQ(first["cpuArch"], Quillstone::cpuArch());
  EXPECT_GT(first["cpuCores"].get<long>(), 0);
  EXPECT_GT(first["memoryMb"].get<long>(), 0);
  EXPECT_GT(first["diskTotalMb"].get<long>(), 0);
  EXPECT_THAT(first["signature"].get<std::string>(), MatchesRegex("[0-9a-f]{64}"));

  // The first profile creates the keychain identifier; later ones read the same one.
  EXPECT_THAT(first["stableId"].get<std::string>(),
              MatchesRegex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
  EXPECT_EQ(first["stableId"], Attribution::shared().deviceId());
  EXPECT_EQ(fullDeviceInfo("2.0.0")["stableId"], first["stableId"]);
}

}  // namespace
}  // namespace quillstone::device
