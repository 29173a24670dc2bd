// Finding the referral code in a link that opened the app.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillstone::attribution {

// The referral code that `urlText` carries, or nullopt when it carries none or an empty one.
// Two shapes are recognised, on any scheme and host: a path whose first segment is "a" or "al"
// followed by the code, and a query item "_la" or "la_code". Only the first such query item is
// looked at; when it has a value (even an empty one) it wins over a path code.
// Percent-escapes are decoded; "+" stays "+". Never throws.
std::optional<std::string> referralCode(std::string_view urlText) noexcept;

}  // namespace quillstone::attribution
