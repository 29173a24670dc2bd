// The host's configuration and the built-in collection server.
#include "base/json_text.hpp"
#include "base/text.hpp"
#include "platform/log.hpp"
#include "quillstone/quillstone.hpp"

namespace quillstone {
namespace {

// Used only if the built-in server text ever failed to parse; ".invalid" never resolves.
constexpr std::string_view kPlaceholderServer = "https://placeholder.invalid/";

constexpr std::string_view kLogServerFallback = "[qs] 服务器地址无法使用,改用内置服务器 ";

// Sending to the built-in server instead of the host's own is worth saying: a typo in the
// host's text would otherwise send its data elsewhere in silence.
void sayNotUsed(std::string_view text) {
  std::string line(kLogServerFallback);
  base::appendLoggedText(line, text);
  platform::systemLog().write(line);
}

Url builtInServer() {
  if (auto url = Url::parse(Quillstone::defaultServer)) return *url;
  return *Url::parse(kPlaceholderServer);
}

}  // namespace

Quillstone::Config::Config(std::string appId, std::optional<Url> server, std::string release,
                           std::string env, bool reportCrash, bool reportDevice,
                           bool requireConsent)
    : appId_(std::move(appId)),
      server_(server ? std::move(*server) : builtInServer()),
      release_(std::move(release)),
      env_(std::move(env)),
      reportCrash_(reportCrash),
      reportDevice_(reportDevice),
      requireConsent_(requireConsent) {}

Url Quillstone::resolveServer(std::optional<std::string_view> text) noexcept {
  try {
    const std::string_view trimmed = base::trimSpaceSeparators(text.value_or(""));
    if (!trimmed.empty()) {
      if (auto url = Url::parse(trimmed); url && !url->scheme().empty()) return *url;
      if (!base::isBlank(*text)) sayNotUsed(*text);
    }
    return builtInServer();
  } catch (...) {
    return builtInServer();
  }
}

}  // namespace quillstone
