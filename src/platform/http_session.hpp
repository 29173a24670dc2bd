// The process-wide HTTP session: requests run on one background thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
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

  // May be dropped while it waits for a connection and too much waits (see kMaxWaitingRequests).
  // Crash uploads and the install request are not: a dropped one is lost for good.
  bool droppable = false;
  // Who sent it, for dropWaiting(); null when no sender drops its requests.
  const void* sender = nullptr;
};

// What may wait for a free connection, in all origins together: beyond either bound the oldest
// droppable request is dropped, so a server that accepts and never answers cannot grow the
// host's memory without end. Requests handed to the session faster than its thread takes them
// up are held to the same bounds where they are handed over, so in a flood at most twice these
// wait in all.
inline constexpr std::size_t kMaxWaitingRequests = 10000;
inline constexpr std::size_t kMaxWaitingBytes = 8 * 1024 * 1024;

// What one waiting request counts against kMaxWaitingBytes: its URL, headers and body, and what
// holding it costs besides.
std::size_t waitingBytes(const HttpRequest& request) noexcept;

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
  // The request was dropped before it was sent: nothing of it reached the server.
  bool dropped = false;
  // The request failed before any of it could reach the server: the host (or the proxy) did not
  // resolve, or no connection was made. Never set after a followed redirect (the first server
  // had the request), nor for a refused URL.
  bool neverSent = false;
  // When neverSent: the request's body, handed back unchanged so that the sender may keep it.
  std::string unsentBody{};
};

// What runs when a request ends: any callable that takes the response, as std::function takes
// it, in three words rather than four, since every waiting request holds one. A callable of up to
// two words that copies as plain bytes (a pointer and a number, as a report's is) is held in
// place; any other is allocated, as std::function allocates it.
class HttpCompletion {
 public:
  HttpCompletion() noexcept = default;
  HttpCompletion(std::nullptr_t) noexcept {}  // implicit, as for std::function
  template <typename Function, typename Callable = std::decay_t<Function>,
            typename = std::enable_if_t<!std::is_same_v<Callable, HttpCompletion> &&
                                        std::is_invocable_v<Callable&, HttpResponse>>>
  HttpCompletion(Function&& function) {  // implicit, as for std::function
    if constexpr (std::is_constructible_v<bool, const Callable&>) {
      // An empty std::function or a null function pointer makes an empty completion.
      if (!static_cast<bool>(function)) return;
    }
    if constexpr (sizeof(Callable) <= sizeof(Storage) && alignof(Callable) <= alignof(Storage) &&
                  std::is_trivially_copyable_v<Callable>) {
      ::new (static_cast<void*>(storage_.bytes)) Callable(std::forward<Function>(function));
      run_ = [](Storage& storage, HttpResponse* response) {
        if (response != nullptr)
          (*std::launder(reinterpret_cast<Callable*>(storage.bytes)))(std::move(*response));
      };
    } else {
      Callable* held = new Callable(std::forward<Function>(function));
      std::memcpy(storage_.bytes, &held, sizeof held);
      run_ = [](Storage& storage, HttpResponse* response) {
        Callable* callable = nullptr;
        std::memcpy(&callable, storage.bytes, sizeof callable);
        if (response != nullptr) {
          (*callable)(std::move(*response));
        } else {
          delete callable;
        }
      };
    }
  }
  HttpCompletion(HttpCompletion&& other) noexcept
      : run_(std::exchange(other.run_, nullptr)), storage_(other.storage_) {}
  HttpCompletion& operator=(HttpCompletion&& other) noexcept {
    if (this != &other) {
      reset();
      run_ = std::exchange(other.run_, nullptr);
      storage_ = other.storage_;
    }
    return *this;
  }
  HttpCompletion(const HttpCompletion&) = delete;
  HttpCompletion& operator=(const HttpCompletion&) = delete;
  ~HttpCompletion() { reset(); }

  explicit operator bool() const noexcept { return run_ != nullptr; }
  // Runs the callable; an empty completion does nothing.
  void operator()(HttpResponse response) {
    if (run_ != nullptr) run_(storage_, &response);
  }

 private:
  struct Storage {
    alignas(void*) unsigned char bytes[2 * sizeof(void*)];
  };
  void reset() noexcept {
    if (run_ != nullptr) std::exchange(run_, nullptr)(storage_, nullptr);
  }

  // Runs the callable with the response, or, given none, lets the callable go.
  void (*run_)(Storage&, HttpResponse*) = nullptr;
  Storage storage_{};
};

class HttpSession {
 public:
  using Completion = HttpCompletion;
  virtual ~HttpSession() = default;
  // Starts the request and returns at once; `completion` runs exactly once, on the session's
  // thread, except for a droppable request dropped before that thread took it up (too many
  // waited): its completion runs on the thread whose request pushed it out, within that call.
  virtual void start(HttpRequest request, Completion completion) = 0;
  // Starts a request that is `like` but for its body: the same as start() with a copy of `like`
  // carrying `body`. A sender of many requests alike keeps `like` and spares building and
  // copying its URL and headers for each; the libcurl session shares them without a copy.
  virtual void startLike(const HttpRequest& like, std::string body, Completion completion) {
    HttpRequest request = like;
    request.body = std::move(body);
    start(std::move(request), std::move(completion));
  }
  // Runs `task` on the session's thread.
  virtual void dispatch(std::function<void()> task) = 0;
  // Completes, as dropped, every request of `sender` that waits for a connection or was not yet
  // taken up by the session; requests already sent go on. Returns at once.
  virtual void dropWaiting(const void* sender) = 0;
};

// The process-wide session (libcurl), created on first use and never destroyed.
HttpSession& systemHttpSession() noexcept;

}  // namespace quillstone::platform
