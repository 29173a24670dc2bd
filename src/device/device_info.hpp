// The basic device map carried under "device" by error reports and crash files.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace quillstone::device {

// Four entries: "platform", "model", "osVersion" ("iOS " + system version), "appVersion".
nlohmann::json deviceInfo(const std::string& release);

}  // namespace quillstone::device
