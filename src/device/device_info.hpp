// The basic device map carried under "device" by error reports and crash files.
#pragma once

#include <string>

#include "platform/services.hpp"

namespace quillstone::device {

// Four entries: "platform", "model", "osVersion" ("iOS " + system version), "appVersion", as
// compact JSON text.
std::string deviceInfo(const platform::Services& services, const std::string& release);

}  // namespace quillstone::device
