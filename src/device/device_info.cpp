#include "device/device_info.hpp"

#include "core/constants.hpp"
#include "core/json_text.hpp"
#include "device/identity.hpp"
#include "platform/system_version.hpp"

namespace quillstone::device {
namespace {

constexpr std::string_view kOsVersionPrefix = "iOS ";

}  // namespace

std::string deviceInfo(const std::string& release) {
  // Written for every error report, so straight to text, in the sorted order of the keys.
  std::string out;
  out.reserve(128);
  out += '{';
  core::appendJsonKey(out, "appVersion");
  core::appendJsonString(out, release);
  out += ',';
  core::appendJsonKey(out, "model");
  core::appendJsonString(out, machineId());
  out += ',';
  core::appendJsonKey(out, "osVersion");
  core::appendJsonString(out, std::string(kOsVersionPrefix) + platform::systemVersion());
  out += ',';
  core::appendJsonKey(out, "platform");
  core::appendJsonString(out, core::kPlatform);
  out += '}';
  return out;
}

}  // namespace quillstone::device
