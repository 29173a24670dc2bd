#include "attribution/install_request.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "base/constants.hpp"
#include "base/text.hpp"
#include "platform/system_version.hpp"

namespace quillstone::attribution {
namespace {

constexpr std::string_view kReferrerPrefix = "la_code=";
constexpr long kSecondsPerMinute = 60;
// Far beyond any screen, and small enough to convert to an integer without overflow.
constexpr double kMaxPixels = 1e9;

}  // namespace

std::int64_t tzMinutes(long secondsEastOfUtc) noexcept {
  // Integer division truncates toward zero: +5:30 gives -330, -3:30 gives 210.
  return -static_cast<std::int64_t>(secondsEastOfUtc) / kSecondsPerMinute;
}

std::int64_t wholePixels(double length) noexcept {
  if (!std::isfinite(length) || length <= 0) return 0;
  return static_cast<std::int64_t>(std::min(length, kMaxPixels));
}

DeviceFacts deviceFactsFrom(const platform::Services& services) {
  DeviceFacts facts;
  facts.osVersion = platform::systemVersion(services.environment, services.kernel);
  facts.model = services.kernel.names().machine;
  const auto languages = services.locale.preferredLanguages();
  if (!languages.empty()) facts.lang = languages.front();
  facts.tz = tzMinutes(services.timeZone.secondsFromUtc(std::chrono::system_clock::now()));
  const auto metrics = services.screen.mainScreen();
  facts.screenW = wholePixels(metrics.nativeWidth);
  facts.screenH = wholePixels(metrics.nativeHeight);
  return facts;
}

std::string installRequestBody(const InstallFacts& facts) noexcept {
  try {
    nlohmann::json body = {
        {"id", facts.appId},
        {"deviceId", facts.deviceId},
        {"platform", base::kPlatform},
        {"osVersion", facts.device.osVersion},
        {"model", facts.device.model},
        {"lang", facts.device.lang},
        {"tz", facts.device.tz},
        {"screenW", facts.device.screenW},
        {"screenH", facts.device.screenH},
    };
    if (facts.referralCode) body["referrer"] = std::string(kReferrerPrefix) + *facts.referralCode;
    return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return {};
  }
}

platform::HttpRequest installRequest(const Url& server, std::string body) {
  platform::HttpRequest request;
  request.url = server.appendingPathComponent(kInstallPath).string();
  request.method = "POST";
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.timeout = kInstallTimeout;
  request.keepResponseBody = true;
  return request;
}

std::optional<std::string> acceptedReply(const platform::HttpResponse& response) {
  if (!response.isHttp || response.error) return std::nullopt;
  if (!base::isSuccessStatus(response.status)) return std::nullopt;
  if (!base::isValidUtf8(response.body)) return std::nullopt;
  return response.body;
}

}  // namespace quillstone::attribution
