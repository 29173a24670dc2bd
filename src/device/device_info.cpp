#include "device/device_info.hpp"

#include "base/constants.hpp"
#include "base/json_text.hpp"
#include "device/identity.hpp"
#include "platform/system_version.hpp"

namespace quillstone::device {
namespace {

constexpr std::string_view kOsVersionPrefix = "iOS ";

}  // namespace

std::string deviceInfo(const platform::Services& services, const std::string& release) {
  // Written for every error report, so straight to text, in the sorted order of the keys.
  return base::JsonObjectWriter()
      .string("appVersion", release)
      .string("model", machineId(services.environment, services.kernel))
      .string("osVersion", std::string(kOsVersionPrefix) +
                               platform::systemVersion(services.environment, services.kernel))
      .string("platform", base::kPlatform)
      .finish();
}

}  // namespace quillstone::device
