#include "platform/http_url.hpp"

#include <strings.h>

namespace quillstone::platform {
namespace {

constexpr std::string_view kHttp = "http";
constexpr std::string_view kHttps = "https";
constexpr std::string_view kAuthorityMark = "://";
constexpr long kTemporaryRedirect = 307;
constexpr long kPermanentRedirect = 308;

bool sameLetters(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isSchemeCharacter(char c, bool first) {
  const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  if (first) return letter;
  return letter || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The scheme `url` names before its first ":", "" when it names none.
std::string_view schemeOf(std::string_view url) {
  const auto colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  for (std::size_t i = 0; i < colon; ++i) {
    if (!isSchemeCharacter(url[i], i == 0)) return {};
  }
  return url.substr(0, colon);
}

}  // namespace

std::optional<std::string> refusedUrl(std::string_view url) {
  const std::string_view scheme = schemeOf(url);
  const bool web = sameLetters(scheme, kHttp) || sameLetters(scheme, kHttps);
  if (web && url.substr(scheme.size()).starts_with(kAuthorityMark)) return std::nullopt;
  if (scheme.empty()) return "URL without a scheme";
  return "Protocol \"" + std::string(scheme) + "\" not supported";
}

bool isFollowedRedirect(long status) noexcept {
  return status == kTemporaryRedirect || status == kPermanentRedirect;
}

std::optional<std::string> refusedRedirect(std::string_view from, std::string_view to) {
  if (auto refusal = refusedUrl(to)) return *refusal + " (in redirect)";
  if (sameLetters(schemeOf(from), kHttps) && !sameLetters(schemeOf(to), kHttps)) {
    return "Redirect from https to http refused";
  }
  return std::nullopt;
}

}  // namespace quillstone::platform
