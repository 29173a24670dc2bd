// The process-wide HTTP session: requests run on one background thread.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillstone::platform {

struct HttpRequest {
  std::string url;
  std::string method = "POST";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // How long connecting may take, and how long the transfer may then go without moving a byte,
  // before it fails. A long transfer that keeps moving is never cut short.
  std::chrono::milliseconds timeout{60000};
  // Whether the reply's body is wanted in HttpResponse::body (a reply above 4 MiB then fails
  // the request); otherwise it is discarded as it arrives.
  bool keepResponseBody = false;
};

// The reply of the request's last hop: 307 and 308 replies are followed, within the rules of
// platform/http_url.hpp; every other reply ends the request.
struct HttpResponse {
  // True when an HTTP status line was received.
  bool isHttp = false;
  long status = 0;
  // Empty unless the request kept its body.
  std::string body;
  // The transport error's description, when the request failed below HTTP.
  std::optional<std::string> error;
};

class HttpSession {
 public:
  using Completion = std::function<void(HttpResponse)>;
  virtual ~HttpSession() = default;
  // Starts the request and returns at once; `completion` runs exactly once, on the session's
  // thread.
  virtual void start(HttpRequest request, Completion completion) = 0;
  // Runs `task` on the session's thread.
  virtual void dispatch(std::function<void()> task) = 0;
};

// The process-wide session (libcurl), created on first use and never destroyed.
HttpSession& systemHttpSession() noexcept;

}  // namespace quillstone::platform
