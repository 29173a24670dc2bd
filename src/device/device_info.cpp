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

std::shared_ptr<const std::string> DeviceInfoCache::get(const platform::Services& services,
                                                        const std::string& release) {
  static const std::string modelVariable(kModelVariable);
  static const std::string versionVariable(platform::kRuntimeVersionVariable);
  auto model = services.environment.value(modelVariable);
  auto version = services.environment.value(versionVariable);
  {
    const std::lock_guard lock(mutex_);
    if (filled_ && release_ == release && model_ == model && version_ == version) return text_;
  }
  auto text = std::make_shared<const std::string>(deviceInfo(services, release));
  const std::lock_guard lock(mutex_);
  filled_ = true;
  release_ = release;
  model_ = std::move(model);
  version_ = std::move(version);
  text_ = text;
  return text;
}

}  // namespace quillstone::device
