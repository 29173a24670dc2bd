// Values every report carries.
#pragma once

#include <string_view>

namespace quillstone::core {

constexpr std::string_view kPlatform = "ios";
constexpr std::string_view kSdkVersion = "1.0.0-ios";

}  // namespace quillstone::core
