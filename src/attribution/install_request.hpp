// The install request: what it carries, where it goes, and which replies count as an answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/http_session.hpp"
#include "platform/services.hpp"
#include "quillstone/url.hpp"

namespace quillstone::attribution {

inline constexpr std::string_view kInstallPath = "attrib/install";
// How long connecting may take, and how long the exchange may stand still.
inline constexpr std::chrono::seconds kInstallTimeout{8};

// What the request tells the server about this device, read fresh for every request.
struct DeviceFacts {
  std::string osVersion;
  std::string model;
  std::string lang;
  // Minutes to add to local time to reach UTC: UTC+8 is -480.
  std::int64_t tz = 0;
  std::int64_t screenW = 0;
  std::int64_t screenH = 0;
};

struct InstallFacts {
  std::string appId;
  std::string deviceId;
  DeviceFacts device;
  std::optional<std::string> referralCode;
};

// The negated offset from UTC in whole minutes, truncated toward zero.
std::int64_t tzMinutes(long secondsEastOfUtc) noexcept;

// A pixel count truncated toward zero; lengths beyond any real screen are capped.
std::int64_t wholePixels(double length) noexcept;

// The facts as the services give them now: system version, machine, first language, time
// zone, screen.
DeviceFacts deviceFactsFrom(const platform::Services& services);

// The request body as compact JSON. Host texts that are not valid UTF-8 get U+FFFD in place of
// the bad bytes, so the body always parses. "" only when memory ran out.
std::string installRequestBody(const InstallFacts& facts) noexcept;

// POST to the server's "attrib/install" with the body, "Content-Type" as the only header; the
// reply's body is kept, since it is the answer.
platform::HttpRequest installRequest(const Url& server, std::string body);

// The reply's text when the reply is an answer: HTTP, a 2xx status, no transport error, and a
// UTF-8 body (an empty one counts).
std::optional<std::string> acceptedReply(const platform::HttpResponse& response);

}  // namespace quillstone::attribution
