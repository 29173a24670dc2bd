// The current time zone.
#pragma once

#include <chrono>
#include <string>

namespace quillstone::platform {

class TimeZone {
 public:
  virtual ~TimeZone() = default;
  // An identifier such as "Europe/Paris".
  virtual std::string identifier() const = 0;
  // Seconds east of UTC at `when`.
  virtual long secondsFromUtc(std::chrono::system_clock::time_point when) const noexcept = 0;
};

// "Asia/Kolkata" from a TZ value (":Asia/Kolkata", "/usr/share/zoneinfo/Asia/Kolkata"); "" when
// `tz` is missing or empty.
std::string timeZoneIdentifierFromTz(const char* tz);

// The process's local time zone: TZ, else /etc/timezone, else the /etc/localtime link, else
// "UTC". TZ is read again on every call.
TimeZone& systemTimeZone() noexcept;

}  // namespace quillstone::platform
