#include "transport/delivery.hpp"

#include <chrono>

#include "base/constants.hpp"
#include "transport/log_messages.hpp"

namespace quillstone::transport {
namespace {

constexpr std::string_view kRumPath = "rum";
// How long connecting may take, and how long a transfer may stand still: a slow crash upload
// that keeps moving is never cut.
constexpr std::chrono::seconds kPostTimeout{60};
constexpr std::chrono::seconds kNetworkFailureSummaryInterval{10};

void finish(const Done& done, bool success) {
  if (done) done(success);
}

}  // namespace

Delivery::Delivery(platform::HttpSession& http, platform::Log& log)
    : http_(http),
      log_(log),
      failures_(log, kNetworkFailureSummaryInterval, [](std::uint64_t count) {
        return std::string(kLogNetworkFailuresCountedPrefix) + std::to_string(count) +
               std::string(kLogNetworkFailuresCountedSuffix);
      }) {}

Url rumEndpoint(const Url& server) { return server.appendingPathComponent(kRumPath); }

std::string Delivery::endpointFor(const Url& server) const {
  {
    std::lock_guard guard(endpointLock_);
    if (!lastEndpoint_.empty() && lastServer_ == server.string()) return lastEndpoint_;
  }
  std::string endpoint = rumEndpoint(server).string();
  std::lock_guard guard(endpointLock_);
  lastServer_ = server.string();
  lastEndpoint_ = endpoint;
  return endpoint;
}

void Delivery::post(const std::optional<Url>& server, std::string body, Done done) const {
  if (!server) {
    http_.dispatch([done = std::move(done)] { finish(done, false); });
    return;
  }
  platform::HttpRequest request;
  request.url = endpointFor(*server);
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.timeout = kPostTimeout;
  http_.start(std::move(request),
              [&failures = failures_, done = std::move(done)](platform::HttpResponse r) {
                // Runs on the HTTP session's thread.
                bool success = r.isHttp && base::isSuccessStatus(r.status);
                if (r.error) {
                  failures.write(std::string(kLogNetworkFailure) + *r.error);
                  success = false;
                }
                finish(done, success);
              });
}

}  // namespace quillstone::transport
