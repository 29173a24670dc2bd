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

// Runs the done callback, then closes the post's ticket: a flush that returns has seen every
// callback of its posts run (a crash file deleted, say).
void finish(FlushLedger& ledger, std::uint64_t ticket, const Done& done, bool success) {
  try {
    finish(done, success);
  } catch (...) {
    // The ticket closes whatever the callback did.
  }
  ledger.end(ticket, success);
}

}  // namespace

Delivery::Delivery(platform::HttpSession& http, platform::Log& log)
    : http_(http),
      failures_(std::make_shared<platform::LogCoalescer>(
          log, kNetworkFailureSummaryInterval, [](std::uint64_t count) {
            return std::string(kLogNetworkFailuresCountedPrefix) + std::to_string(count) +
                   std::string(kLogNetworkFailuresCountedSuffix);
          })) {}

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

bool Delivery::setEnabled(bool on) {
  const bool was = enabled_.exchange(on, std::memory_order_relaxed);
  if (!on) http_.dropWaiting(this);
  return was;
}

void Delivery::post(const std::optional<Url>& server, std::string body, Done done,
                    Waiting waiting) const {
  const std::uint64_t ticket = ledger_->begin();
  if (!server || !enabled()) {
    http_.dispatch([ledger = ledger_, ticket, done = std::move(done)] {
      finish(*ledger, ticket, done, false);
    });
    return;
  }
  platform::HttpRequest request;
  request.url = endpointFor(*server);
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.timeout = kPostTimeout;
  request.droppable = waiting == Waiting::droppable;
  request.sender = this;
  http_.start(std::move(request), [failures = failures_, ledger = ledger_, ticket,
                                   done = std::move(done)](platform::HttpResponse r) {
    // Runs on the HTTP session's thread. A dropped post was never sent: no network failure.
    bool success = r.isHttp && base::isSuccessStatus(r.status);
    if (r.error) {
      failures->write(std::string(kLogNetworkFailure) + *r.error);
      success = false;
    }
    finish(*ledger, ticket, done, success);
  });
}

}  // namespace quillstone::transport
