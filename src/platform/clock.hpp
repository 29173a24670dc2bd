// Wall-clock time stamps for reports.
#pragma once

#include <cstdint>

namespace quillstone::platform {

// Milliseconds since 1970-01-01 00:00 UTC: the current time in seconds, as a double, times
// 1000 and truncated toward zero.
std::int64_t nowMillis() noexcept;

}  // namespace quillstone::platform
