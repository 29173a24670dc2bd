// Delivery: the one way a report leaves the process.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/http_session.hpp"
#include "platform/log.hpp"
#include "platform/log_coalescer.hpp"
#include "quillstone/url.hpp"

namespace quillstone::transport {

// Success flag of one post; runs exactly once, on the HTTP session's thread.
using Done = std::function<void(bool)>;

class Delivery {
 public:
  Delivery(platform::HttpSession& http, platform::Log& log);

  // POSTs `body` to the server's "rum" endpoint and returns at once. Without a server there is
  // nowhere to send to: `done(false)`, still on the session's thread.
  void post(const std::optional<Url>& server, std::string body, Done done) const;

 private:
  // rumEndpoint(server) as text, remembered for the last server: building it parses URLs, and
  // every report of a run goes to the same server.
  std::string endpointFor(const Url& server) const;

  platform::HttpSession& http_;
  platform::Log& log_;
  // A server that is down fails every report: one line for the first, then a count.
  mutable platform::LogCoalescer failures_;
  mutable std::mutex endpointLock_;
  mutable std::string lastServer_;
  mutable std::string lastEndpoint_;
};

// The request's URL: the server with "rum" added to its path.
Url rumEndpoint(const Url& server);

}  // namespace quillstone::transport
