#include "attribution/attribution_client.hpp"

#include <chrono>
#include <memory>

#include "attribution/deep_link.hpp"

namespace quillstone::attribution {
namespace {

// Read when the flag is set but the reply's text is missing.
constexpr std::string_view kMissingReply = "{}";

void deliver(const AttributionClient::Callback& onResult, const ParsedResponse& result) noexcept {
  if (!onResult) return;
  try {
    onResult(result);
  } catch (...) {
    // The host's callback failing must not unwind into the library.
  }
}

// Runs on the worker's thread. The callback runs exactly once, whatever fails here.
void finish(platform::DefaultsStore& defaults, const AttributionClient::Callback& onResult,
            const platform::HttpResponse& response) noexcept {
  std::optional<std::string> reply;
  try {
    reply = acceptedReply(response);
  } catch (...) {
  }
  if (!reply) {
    deliver(onResult, ParsedResponse{});
    return;
  }
  try {
    // The text goes in before the flag: a process that dies between the two writes asks
    // again at its next start instead of keeping an empty answer for good.
    defaults.setValue(kResultKey, *reply);
    defaults.setValue(kDoneKey, true);
  } catch (...) {
    // The answer is still good for this start; the next one asks again.
  }
  deliver(onResult, parseResponse(*reply));
}

}  // namespace

void AttributionClient::start(std::string appId, Url server, Callback onResult) {
  {
    std::lock_guard lock(mutex_);
    appId_ = std::move(appId);
    server_ = std::move(server);
  }
  if (!defaults_.boolean(kDoneKey)) {
    request(std::move(onResult));
    return;
  }
  const auto stored = defaults_.string(kResultKey);
  deliver(onResult, parseResponse(stored ? *stored : kMissingReply));
}

bool AttributionClient::handle(std::string_view urlText) {
  auto code = referralCode(urlText);
  if (!code) return false;
  {
    std::lock_guard lock(mutex_);
    pendingCode_ = std::move(code);
  }
  if (!defaults_.boolean(kDoneKey)) request(nullptr);
  return true;
}

void AttributionClient::request(Callback onResult) {
  InstallFacts facts;
  std::optional<Url> server;
  {
    std::lock_guard lock(mutex_);
    server = server_;
    facts.appId = appId_;
    facts.referralCode = pendingCode_;
  }
  // Only a link handled before the first start gets here without a server.
  if (!server) {
    deliver(onResult, ParsedResponse{});
    return;
  }
  facts.deviceId = deviceIds_.deviceId();
  facts.device = deviceFacts_();
  auto request = installRequest(*server, installRequestBody(facts));
  http_.start(
      std::move(request), [&worker = worker_, &defaults = defaults_,
                           onResult = std::move(onResult)](platform::HttpResponse response) {
        // Runs on the HTTP session's thread: the disk writes and the host's callback move off it.
        auto answer = std::make_shared<platform::HttpResponse>(std::move(response));
        try {
          worker.schedule(std::chrono::milliseconds(0),
                          [&defaults, onResult, answer] { finish(defaults, onResult, *answer); });
        } catch (...) {
          // Without memory for the hand-off the answer is still given, here.
          finish(defaults, onResult, *answer);
        }
      });
}

}  // namespace quillstone::attribution
