#include "device/identity.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include <map>

#include "platform/system_version.hpp"

namespace quillstone::device {
namespace {

class FakeEnvironment final : public platform::Environment {
 public:
  explicit FakeEnvironment(std::map<std::string, std::string> values)
      : values_(std::move(values)) {}
  std::optional<std::string> value(const std::string& name) const override {
    const auto it = values_.find(name);
    if (it == values_.end()) return std::nullopt;
    return it->second;
  }

 private:
  std::map<std::string, std::string> values_;
};

class FakeKernel final : public platform::Kernel {
 public:
  explicit FakeKernel(platform::KernelNames names) : names_(std::move(names)) {}
  platform::KernelNames names() const override { return names_; }

 private:
  platform::KernelNames names_;
};

class FakeReachability final : public platform::Reachability {
 public:
  explicit FakeReachability(std::optional<std::uint32_t> flags) : flags_(flags) {}
  std::optional<std::uint32_t> flags() const override { return flags_; }

 private:
  std::optional<std::uint32_t> flags_;
};

struct EnvironmentCase {
  std::string label;
  std::map<std::string, std::string> variables;
  std::string machine;  // from uname; "" as after a failed call
  std::string expectedModel;
  std::string expectedVersion;
};

void PrintTo(const EnvironmentCase& c, std::ostream* os) { *os << c.label; }

class SimulatorVariables : public ::testing::TestWithParam<EnvironmentCase> {};

TEST_P(SimulatorVariables, OverrideTheKernelOnlyWhenNotEmpty) {
  const auto& c = GetParam();
  const FakeEnvironment environment(c.variables);
  const FakeKernel kernel({"Linux", "host", "6.1.0-test", "#1", c.machine});
  EXPECT_EQ(machineId(environment, kernel), c.expectedModel);
  EXPECT_EQ(platform::systemVersion(environment, kernel), c.expectedVersion);
}

INSTANTIATE_TEST_SUITE_P(
    Probes, SimulatorVariables,
    ::testing::Values(EnvironmentCase{"Absent", {}, "x86_64", "x86_64", "6.1.0-test"},
                      EnvironmentCase{"Set",
                                      {{"SIMULATOR_MODEL_IDENTIFIER", "iPhone15,2"},
                                       {"SIMULATOR_RUNTIME_VERSION", "17.2"}},
                                      "x86_64",
                                      "iPhone15,2",
                                      "17.2"},
                      EnvironmentCase{
                          "Empty",
                          {{"SIMULATOR_MODEL_IDENTIFIER", ""}, {"SIMULATOR_RUNTIME_VERSION", ""}},
                          "x86_64",
                          "x86_64",
                          "6.1.0-test"},
                      EnvironmentCase{"KernelCallFailed", {}, "", "", "6.1.0-test"}),
    [](const auto& info) { return info.param.label; });

std::string machineId() {
  return device::machineId(platform::systemEnvironment(), platform::systemKernel());
}

TEST(MachineId, ReadsTheProcessEnvironment) {
  setenv("SIMULATOR_MODEL_IDENTIFIER", "iPad13,1", 1);
  EXPECT_EQ(machineId(), "iPad13,1");
  unsetenv("SIMULATOR_MODEL_IDENTIFIER");
  EXPECT_EQ(machineId(), platform::systemKernel().names().machine);
  EXPECT_FALSE(machineId().empty());
}

struct FlagCase {
  std::string label;
  std::uint32_t flags;
  std::string expected;
};

void PrintTo(const FlagCase& c, std::ostream* os) { *os << c.label; }

class NetworkTypeForFlags : public ::testing::TestWithParam<FlagCase> {};

TEST_P(NetworkTypeForFlags, DependsOnReachableAndWwanOnly) {
  EXPECT_EQ(networkTypeForFlags(GetParam().flags), GetParam().expected);
  EXPECT_EQ(networkType(FakeReachability(GetParam().flags)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, NetworkTypeForFlags,
    ::testing::Values(FlagCase{"Nothing", 0, "none"}, FlagCase{"Reachable", 0x2, "wifi"},
                      FlagCase{"ReachableWwan", 0x40002, "cellular"},
                      FlagCase{"WwanAlone", 0x40000, "none"},
                      FlagCase{"ConnectionRequiredStillWifi", 0x2 | 0x4 | 0x20, "wifi"},
                      FlagCase{"AllBitsButWwan", ~0x40000u, "wifi"}),
    [](const auto& info) { return info.param.label; });

TEST(NetworkType, UnreadableFlagsGiveEmptyText) {
  EXPECT_EQ(networkType(FakeReachability(std::nullopt)), "");
  const std::string live = networkType(platform::systemReachability());
  EXPECT_TRUE(live == "wifi" || live == "cellular" || live == "none") << live;
}

TEST(FixedProbes, ArchitectureAndIntegrity) {
  EXPECT_EQ(cpuArch(), "x86_64");
  EXPECT_FALSE(isJailbroken());
  EXPECT_FALSE(isJailbroken());
}

}  // namespace
}  // namespace quillstone::device
