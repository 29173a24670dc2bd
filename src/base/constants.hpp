// Values every report carries, and the rule every request's answer is judged by.
#pragma once

#include <string_view>

namespace quillstone::base {

constexpr std::string_view kPlatform = "ios";
constexpr std::string_view kSdkVersion = "1.0.0-ios";

// The "type" of error reports and crash files.
constexpr std::string_view kErrorType = "error";

// True for a status the server sends when it accepted a request: any 2xx.
constexpr bool isSuccessStatus(long status) noexcept { return status >= 200 && status <= 299; }

}  // namespace quillstone::base
