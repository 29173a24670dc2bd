#include "device/device_info.hpp"

#include "core/constants.hpp"
#include "device/identity.hpp"
#include "platform/system_version.hpp"

namespace quillstone::device {
namespace {

constexpr std::string_view kOsVersionPrefix = "iOS ";

}  // namespace

nlohmann::json deviceInfo(const std::string& release) {
  return {
      {"platform", core::kPlatform},
      {"model", machineId()},
      {"osVersion", std::string(kOsVersionPrefix) + platform::systemVersion()},
      {"appVersion", release},
  };
}

}  // namespace quillstone::device
