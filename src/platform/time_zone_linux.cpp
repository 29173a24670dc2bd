#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/files.hpp"
#include "platform/time_zone.hpp"

namespace quillstone::platform {
namespace {

constexpr std::string_view kZoneInfoMarker = "zoneinfo/";
constexpr const char* kUtc = "UTC";

// "/usr/share/zoneinfo/Europe/Paris" → "Europe/Paris"; other texts unchanged.
std::string underZoneInfo(std::string_view path) {
  const auto marker = path.rfind(kZoneInfoMarker);
  if (marker == std::string_view::npos) return std::string(path);
  return std::string(path.substr(marker + kZoneInfoMarker.size()));
}

std::string trimmedLine(const std::string& text) {
  const auto end = text.find_first_of("\r\n");
  std::string line = text.substr(0, end);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

std::string localtimeLinkTarget() {
  char target[PATH_MAX];
  const ssize_t length = ::readlink("/etc/localtime", target, sizeof target);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return {};
  const std::string_view path(target, static_cast<std::size_t>(length));
  if (path.find(kZoneInfoMarker) == std::string_view::npos) return {};
  return underZoneInfo(path);
}

class SystemTimeZone final : public TimeZone {
 public:
  std::string identifier() const override {
    if (auto fromTz = timeZoneIdentifierFromTz(std::getenv("TZ")); !fromTz.empty()) return fromTz;
    if (auto file = readFile("/etc/timezone")) {
      if (auto line = trimmedLine(*file); !line.empty()) return line;
    }
    if (auto link = localtimeLinkTarget(); !link.empty()) return link;
    return kUtc;
  }

  long secondsFromUtc(std::chrono::system_clock::time_point when) const noexcept override {
    // Picks up a TZ that changed since the last call; localtime_r alone may not.
    ::tzset();
    const time_t seconds = std::chrono::system_clock::to_time_t(when);
    struct tm local {};
    if (::localtime_r(&seconds, &local) == nullptr) return 0;
    return local.tm_gmtoff;
  }
};

}  // namespace

std::string timeZoneIdentifierFromTz(const char* tz) {
  if (tz == nullptr) return {};
  std::string_view value = tz;
  if (!value.empty() && value.front() == ':') value.remove_prefix(1);
  return underZoneInfo(value);
}

TimeZone& systemTimeZone() noexcept {
  static auto* zone = new SystemTimeZone();
  return *zone;
}

}  // namespace quillstone::platform
