// The main bundle: the running executable, its directory and its Info.json.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace quillstone::platform {

// Absolute path of the running executable ("" when it cannot be read).
std::string executablePath();
// File name of the running executable.
std::string executableName();
// The bundle's info dictionary: the JSON object in Info.json beside the executable, or an empty
// object when that file is missing or is not a JSON object.
nlohmann::json infoDictionary();
// The non-empty "CFBundleIdentifier" string of the info dictionary.
std::optional<std::string> bundleIdentifier();
// The bundle identifier when there is one, otherwise the executable's file name.
std::string appName();

}  // namespace quillstone::platform
