// The basic device map carried under "device" by error reports and crash files.
#pragma once

#include <string>

namespace quillstone::device {

// Four entries: "platform", "model", "osVersion" ("iOS " + system version), "appVersion", as
// compact JSON text.
std::string deviceInfo(const std::string& release);

}  // namespace quillstone::device
