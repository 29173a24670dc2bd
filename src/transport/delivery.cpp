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

void finishQuietly(const Done& done, bool success) {
  try {
    finish(done, success);
  } catch (...) {
    // The ticket closes whatever the callback did.
  }
}

// Runs the done callback, then closes the post's ticket: a flush that returns has seen every
// callback of its posts run (a crash file deleted, say).
void finish(FlushLedger& ledger, std::uint64_t ticket, const Done& done, bool success) {
  finishQuietly(done, success);
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
// still unreachable costs one failed attempt, not one per stored report. Its disk work runs on
// the worker's thread: the thread that drives the network never waits for the disk.
struct OutboxRun {
  platform::HttpSession& http;
  platform::Worker& worker;
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

void afterStoredSent(const std::shared_ptr<OutboxRun>& run, const platform::ClaimedReport& claimed,
                     const platform::HttpResponse& r);

// Runs on the worker's thread.
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
                  [run, claimed = std::move(*claimed)](platform::HttpResponse r) mutable {
                    // Runs on the HTTP session's thread.
                    if (r.error) run->failures->write(std::string(kLogNetworkFailure) + *r.error);
                    r.unsentBody.clear();
                    run->worker.schedule(std::chrono::milliseconds(0),
                                         [run, claimed = std::move(claimed), r = std::move(r)] {
                                           afterStoredSent(run, claimed, r);
                                         });
                  });
}

// Runs on the worker's thread: what the answer, or its absence, means for the claimed file; then
// the next one.
void afterStoredSent(const std::shared_ptr<OutboxRun>& run, const platform::ClaimedReport& claimed,
                     const platform::HttpResponse& r) {
  if (r.neverSent || r.dropped) {
    // Still unreachable, or reporting was turned off: it waits for a later run.
    run->outbox->release(claimed);
    run->ledger->end(run->ticket, false);
    return;
  }
  // The request reached the server, or may have: sent again, it could arrive twice.
  run->outbox->remove(claimed);
  if (!r.isHttp || r.error || !base::isSuccessStatus(r.status)) run->allDelivered = false;
  if (!r.isHttp) {
    // No answer: the server is not answering now, the rest waits.
    run->ledger->end(run->ticket, false);
    return;
  }
  sendNextStored(run);
}

}  // namespace

// Shared by every post made while the outbox was the same, and counted by hand: the completion
// of a post without a done callback then holds only this pointer and its ticket, small enough
// for the completion to keep inline, so a report that waits for a connection carries no
// allocation of its own for it. Such a post holds it until its completion has run: one whose
// completion never runs (abandoned at exit, or in a forked child) keeps it for good.
struct Delivery::PostContext {
  std::shared_ptr<platform::LogCoalescer> failures;
  std::shared_ptr<FlushLedger> ledger;
  Outbox outbox;
  std::atomic<std::size_t> holders{1};

  PostContext* hold() {
    holders.fetch_add(1, std::memory_order_relaxed);
    return this;
  }
  void release() {
    if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }

  // Lets the context go once a completion has run, whatever that did.
  class Released {
   public:
    explicit Released(PostContext* context) : context_(context) {}
    Released(const Released&) = delete;
    Released& operator=(const Released&) = delete;
    ~Released() { context_->release(); }

   private:
    PostContext* context_;
  };

  // A hold that goes with its owner: for a completion that is on the heap anyway, so that one
  // destroyed without running lets the context go too.
  class Held {
   public:
    explicit Held(PostContext* context) : context_(context) {}
    Held(const Held& other) : context_(other.context_->hold()) {}
    Held& operator=(const Held&) = delete;
    ~Held() { context_->release(); }
    const PostContext* operator->() const { return context_; }

   private:
    PostContext* context_;
  };

  // Runs on the HTTP session's thread. A dropped post was never sent: no network failure.
  void completed(std::uint64_t ticket, const Done& done, platform::HttpResponse r) const {
    bool success = r.isHttp && base::isSuccessStatus(r.status);
    if (r.error) {
      failures->write(std::string(kLogNetworkFailure) + *r.error);
      success = false;
    }
    if (!outbox.files || !r.neverSent) {
      finish(*ledger, ticket, done, success);
      return;
    }
    // Kept, it is still not delivered now: the callback says false all the same. The ticket
    // closes once the file is written, so that a flush covers it.
    finishQuietly(done, false);
    outbox.worker->schedule(
        std::chrono::milliseconds(0),
        [files = outbox.files, body = std::move(r.unsentBody), ledger = ledger, ticket] {
          keep(*files, body);
          ledger->end(ticket, false);
        });
  }
};

Delivery::Delivery(platform::HttpSession& http, platform::Log& log)
    : http_(http),
      failures_(std::make_shared<platform::LogCoalescer>(
          log, kNetworkFailureSummaryInterval,
          [](std::uint64_t count) {
            return std::string(kLogNetworkFailuresCountedPrefix) + std::to_string(count) +
                   std::string(kLogNetworkFailuresCountedSuffix);
          })),
      plainContext_(new PostContext{failures_, ledger_, {}}) {}

Delivery::~Delivery() {
  plainContext_->release();
  if (outboxContext_ != nullptr) outboxContext_->release();
}

Delivery::PostContext* Delivery::heldContext(Waiting waiting) const {
  // Crash uploads stay on disk by themselves: only the others may go to the outbox.
  if (waiting == Waiting::droppable && hasOutbox_.load(std::memory_order_relaxed)) {
    std::lock_guard guard(outboxLock_);
    if (outboxContext_ != nullptr) return outboxContext_->hold();
  }
  return plainContext_->hold();
}

Url rumEndpoint(const Url& server) { return server.appendingPathComponent(kRumPath); }

std::string Delivery::endpointFor(const Url& server) const { return requestFor(server)->url; }

std::shared_ptr<const platform::HttpRequest> Delivery::requestFor(const Url& server) const {
  {
    std::lock_guard guard(endpointLock_);
    if (lastRequest_ && lastServer_ == server.string()) return lastRequest_;
  }
  auto request = std::make_shared<const platform::HttpRequest>(
      rumRequest(rumEndpoint(server).string(), std::string(), this));
  std::lock_guard guard(endpointLock_);
  lastServer_ = server.string();
  lastRequest_ = request;
  return request;
}

bool Delivery::setEnabled(bool on) {
  const bool was = enabled_->exchange(on, std::memory_order_relaxed);
  if (!on) http_.dropWaiting(this);
  return was;
}

void Delivery::post(const std::optional<Url>& server, std::string body, Done done,
                    Waiting waiting) const {
  postTo(server ? &*server : nullptr, std::move(body), std::move(done), waiting);
}

void Delivery::post(const Url& server, std::string body, Done done, Waiting waiting) const {
  postTo(&server, std::move(body), std::move(done), waiting);
}

void Delivery::postTo(const Url* server, std::string body, Done done, Waiting waiting) const {
  const std::uint64_t ticket = ledger_->begin();
  if (server == nullptr || !enabled()) {
    http_.dispatch([ledger = ledger_, ticket, done = std::move(done)] {
      finish(*ledger, ticket, done, false);
    });
    return;
  }
  // Every report to one server is the same request but for its body: it is made once and
  // shared, not built and copied for each.
  const auto like = requestFor(*server);
  PostContext* context = heldContext(waiting);
  if (waiting != Waiting::droppable) {
    platform::HttpRequest request = *like;
    request.body = std::move(body);
    request.droppable = false;
    http_.start(std::move(request),
                [held = PostContext::Held(context), ticket, done = std::move(done)](
                    platform::HttpResponse r) { held->completed(ticket, done, std::move(r)); });
    return;
  }
  if (!done) {
    // Kept inline by the completion: the common report adds nothing to what waits.
    http_.startLike(*like, std::move(body), [context, ticket](platform::HttpResponse r) {
      const PostContext::Released released(context);
      context->completed(ticket, nullptr, std::move(r));
    });
    return;
  }
  http_.startLike(*like, std::move(body),
                  [held = PostContext::Held(context), ticket, done = std::move(done)](
                      platform::HttpResponse r) { held->completed(ticket, done, std::move(r)); });
}

void Delivery::setOutbox(Outbox outbox) {
  const bool on = outbox.files != nullptr && outbox.worker != nullptr;
  if (!on) outbox = {};
  PostContext* replaced = nullptr;
  {
    std::lock_guard guard(outboxLock_);
    replaced = outboxContext_;
    outboxContext_ = on ? new PostContext{failures_, ledger_, outbox} : nullptr;
    outbox_ = std::move(outbox);
  }
  hasOutbox_.store(on, std::memory_order_relaxed);
  if (replaced != nullptr) replaced->release();
}

Delivery::Outbox Delivery::outbox() const {
  if (!hasOutbox_.load(std::memory_order_relaxed)) return {};
  std::lock_guard guard(outboxLock_);
  return outbox_;
}

void Delivery::resendOutbox(const Url& server) const {
  auto outbox = this->outbox();
  if (!outbox.files || !enabled()) return;
  auto run = std::make_shared<OutboxRun>(OutboxRun{http_, *outbox.worker, std::move(outbox.files),
                                                   endpointFor(server), this, enabled_, failures_,
                                                   ledger_, ledger_->begin()});
  outbox.worker->schedule(std::chrono::milliseconds(0), [run] {
    // Claims left by a process killed while it sent them are sent by this run.
    run->outbox->releaseAbandoned();
    sendNextStored(run);
  });
}

}  // namespace quillstone::transport
