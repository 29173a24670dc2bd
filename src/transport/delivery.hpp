// Delivery: the one way a report leaves the process.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/fork_safe.hpp"
#include "platform/http_session.hpp"
#include "platform/log.hpp"
#include "platform/log_coalescer.hpp"
#include "platform/outbox_files.hpp"
#include "platform/worker.hpp"
#include "quillstone/url.hpp"
#include "transport/flush_ledger.hpp"

namespace quillstone::transport {

// Success flag of one post; runs exactly once, on the HTTP session's thread (a post dropped
// because too many waited may instead end on the thread of the post that pushed it out).
using Done = std::function<void(bool)>;

// Whether a post may be dropped while it waits for a connection and too much waits. Crash files
// wait: they are deleted only once the server took them.
enum class Waiting { droppable, kept };

class Delivery {
 public:
  Delivery(platform::HttpSession& http, platform::Log& log);
  ~Delivery();
  Delivery(const Delivery&) = delete;
  Delivery& operator=(const Delivery&) = delete;

  // POSTs `body` to the server's "rum" endpoint and returns at once. Without a server there is
  // nowhere to send to: `done(false)`, still on the session's thread.
  void post(const std::optional<Url>& server, std::string body, Done done,
            Waiting waiting = Waiting::droppable) const;
  // The same, for a server known to be there: nothing of it is copied.
  void post(const Url& server, std::string body, Done done,
            Waiting waiting = Waiting::droppable) const;

  // While off, post() sends nothing and gives done(false); turning it off drops, with done(false),
  // the posts still waiting for a connection. Posts already sent go on. Returns the switch's
  // setting before the call.
  bool setEnabled(bool on);
  bool enabled() const { return enabled_->load(std::memory_order_relaxed); }

  // The offline outbox: while set, a droppable post whose request never reached the server
  // (no name resolution, no connection) is kept in it; its done callback still says false.
  // Null turns it off. A post that may have reached the server is never kept, so the server
  // never gets a report twice.
  // Its files are written, claimed and removed on `worker`'s thread.
  struct Outbox {
    std::shared_ptr<const platform::OutboxFiles> files;
    platform::Worker* worker = nullptr;
  };
  void setOutbox(Outbox outbox);
  // Sends the outbox's reports to `server`, oldest first, one after the other, from the worker's
  // thread; returns at once. A report whose request reached the server is deleted,
  // whatever the reply's status (the server has it; sent again it would be sent for ever); one
  // that again could not be sent is put back, and the rest wait with it for the next call.
  // A flush made after the call waits for the whole run.
  void resendOutbox(const Url& server) const;

  // Waits until every post made before the call has ended (its done callback has run) or
  // `timeout` has passed; true when all of them were delivered.
  bool flush(std::chrono::milliseconds timeout) const { return ledger_->waitForOpen(timeout); }

 private:
  // What both posts do; no server means nowhere to send to.
  void postTo(const Url* server, std::string body, Done done, Waiting waiting) const;
  // rumEndpoint(server) as text, remembered for the last server: building it parses URLs, and
  // every report of a run goes to the same server.
  std::string endpointFor(const Url& server) const;
  // The report request to `server`, droppable and with an empty body.
  std::shared_ptr<const platform::HttpRequest> requestFor(const Url& server) const;

  platform::HttpSession& http_;
  // A server that is down fails every report: one line for the first, then a count. Shared
  // with the completions, which may run after a short-lived delivery has gone.
  std::shared_ptr<platform::LogCoalescer> failures_;
  // Shared with a run of the outbox, which stops once reporting is off.
  std::shared_ptr<std::atomic<bool>> enabled_ = std::make_shared<std::atomic<bool>>(true);
  // Read on every post: the flag spares the lock while there is no outbox, the default.
  std::atomic<bool> hasOutbox_{false};
  mutable std::mutex outboxLock_;
  Outbox outbox_;
  Outbox outbox() const;
  // Shared with the completions, which close their tickets after the done callback: the caller
  // may see that callback and be gone before the ticket is closed.
  std::shared_ptr<FlushLedger> ledger_ = std::make_shared<FlushLedger>();
  // What a post's completion needs besides its ticket, one record for all posts that share it
  // (see delivery.cpp). The plain one serves posts that go to no outbox and is never replaced;
  // the other is replaced with the outbox, under outboxLock_.
  struct PostContext;
  PostContext* plainContext_ = nullptr;
  PostContext* outboxContext_ = nullptr;
  // The context for a post, held for its completion.
  PostContext* heldContext(Waiting waiting) const;
  mutable platform::ForkSafeMutex endpointLock_;
  mutable std::string lastServer_;
  // The request every report to lastServer_ is like, with an empty body.
  mutable std::shared_ptr<const platform::HttpRequest> lastRequest_;
};

// The request's URL: the server with "rum" added to its path.
Url rumEndpoint(const Url& server);

}  // namespace quillstone::transport
