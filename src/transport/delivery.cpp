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

platform::HttpRequest rumRequest(std::string url, std::string body, const void* sender) {
  platform::HttpRequest request;
  request.url = std::move(url);
  request.headers = {{"Content-Type", "application/json"}};
  request.body = std::move(body);
  request.timeout = kPostTimeout;
  request.droppable = true;
  request.sender = sender;
  return request;
}

// One run through the outbox: its reports are sent one at a time, so that a server that is
// still unreachable costs one failed attempt, not one per stored report.
struct OutboxRun {
  platform::HttpSession& http;
  std::shared_ptr<const platform::OutboxFiles> outbox;
  std::string endpoint;
  const void* sender;
  std::shared_ptr<std::atomic<bool>> enabled;
  std::shared_ptr<platform::LogCoalescer> failures;
  std::shared_ptr<FlushLedger> ledger;
  std::uint64_t ticket;
  bool allDelivered = true;
};

// A report that could not be kept is lost as it would be without the outbox; the post's done
// callback and ticket still follow.
void keep(const platform::OutboxFiles& outbox, const std::string& body) noexcept {
  try {
    outbox.store(body);
  } catch (...) {
  }
}

// Runs on the HTTP session's thread.
void sendNextStored(const std::shared_ptr<OutboxRun>& run) {
  std::optional<platform::ClaimedReport> claimed;
  try {
    if (run->enabled->load(std::memory_order_relaxed)) claimed = run->outbox->claimOldest();
  } catch (...) {
    // The files stay for a later run; the run's ticket still closes.
    run->allDelivered = false;
  }
  if (!claimed) {
    run->ledger->end(run->ticket, run->allDelivered && run->enabled->load());
    return;
  }
  std::string body = claimed->body;
  run->http.start(rumRequest(run->endpoint, std::move(body), run->sender),
                  [run, claimed = std::move(*claimed)](platform::HttpResponse r) {
                    if (r.error) run->failures->write(std::string(kLogNetworkFailure) + *r.error);
                    if (r.neverSent || r.dropped) {
                      // Still unreachable, or reporting was turned off: it waits for a later run.
                      run->outbox->release(claimed);
                      run->ledger->end(run->ticket, false);
                      return;
                    }
                    // The request reached the server, or may have: sent again, it could arrive
                    // twice.
                    run->outbox->remove(claimed);
                    if (!r.isHttp || r.error || !base::isSuccessStatus(r.status)) {
                      run->allDelivered = false;
                    }
                    if (!r.isHttp) {
                      // No answer: the server is not answering now, the rest waits.
                      run->ledger->end(run->ticket, false);
                      return;
                    }
                    sendNextStored(run);
                  });
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
  const bool was = enabled_->exchange(on, std::memory_order_relaxed);
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
  platform::HttpRequest request = rumRequest(endpointFor(*server), std::move(body), this);
  request.droppable = waiting == Waiting::droppable;
  // Crash uploads stay on disk by themselves: only the others may go to the outbox.
  auto outbox = waiting == Waiting::droppable ? this->outbox() : nullptr;
  http_.start(std::move(request),
              [failures = failures_, ledger = ledger_, ticket, outbox = std::move(outbox),
               done = std::move(done)](platform::HttpResponse r) {
                // Runs on the HTTP session's thread. A dropped post was never sent: no network
                // failure.
                bool success = r.isHttp && base::isSuccessStatus(r.status);
                if (r.error) {
                  failures->write(std::string(kLogNetworkFailure) + *r.error);
                  success = false;
                }
                // Kept, it is still not delivered now: the callback says false all the same.
                if (outbox && r.neverSent) keep(*outbox, r.unsentBody);
                finish(*ledger, ticket, done, success);
              });
}

void Delivery::setOutbox(std::shared_ptr<const platform::OutboxFiles> outbox) {
  const bool on = outbox != nullptr;
  {
    std::lock_guard guard(outboxLock_);
    outbox_ = std::move(outbox);
  }
  hasOutbox_.store(on, std::memory_order_relaxed);
}

std::shared_ptr<const platform::OutboxFiles> Delivery::outbox() const {
  if (!hasOutbox_.load(std::memory_order_relaxed)) return nullptr;
  std::lock_guard guard(outboxLock_);
  return outbox_;
}

void Delivery::resendOutbox(const Url& server) const {
  auto outbox = this->outbox();
  if (!outbox || !enabled()) return;
  auto run =
      std::make_shared<OutboxRun>(OutboxRun{http_, std::move(outbox), endpointFor(server), this,
                                            enabled_, failures_, ledger_, ledger_->begin()});
  http_.dispatch([run] {
    // Claims left by a process killed while it sent them are sent by this run.
    run->outbox->releaseAbandoned();
    sendNextStored(run);
  });
}

}  // namespace quillstone::transport
