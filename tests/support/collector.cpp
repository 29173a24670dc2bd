#include "support/collector.hpp"

#include <httplib.h>
#include <signal.h>
#include <strings.h>

#include "support/sigpipe.hpp"
#include "support/wait.hpp"

namespace quillstone::testing {
namespace {

// Clients keep their connections open and reuse them for many reports.
constexpr std::size_t kKeepAliveRequests = 100000;
constexpr time_t kKeepAliveIdleSeconds = 1;

// cpp-httplib's Server constructor sets SIGPIPE to SIG_IGN for the whole process, which would hide
// a SIGPIPE raised on a host thread in every test that has a collector. The disposition the
// process had is put back; the server's own threads block the signal instead.
std::unique_ptr<httplib::Server> makeServer() {
  struct sigaction previous {};
  sigaction(SIGPIPE, nullptr, &previous);
  auto server = std::make_unique<httplib::Server>();
  sigaction(SIGPIPE, &previous, nullptr);
  return server;
}

}  // namespace

std::string RecordedRequest::header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key.size() == name.size() && strncasecmp(key.data(), name.data(), name.size()) == 0) {
      return value;
    }
  }
  return {};
}

Collector::Collector(int port) : server_(makeServer()) {
  server_->set_keep_alive_max_count(kKeepAliveRequests);
  // Short, so that stopping the server does not wait long on idle kept-alive connections.
  server_->set_keep_alive_timeout(kKeepAliveIdleSeconds);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded{request.method, request.path, {}, request.body};
    for (const auto& [key, value] : request.headers) {
      // The server adds these itself; they were not sent.
      if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" ||
          key == "LOCAL_PORT") {
        continue;
      }
      recorded.headers.emplace_back(key, value);
    }
    CannedResponse answer;
    record(std::move(recorded), answer);
    response.status = answer.status;
    for (const auto& [name, value] : answer.headers) response.set_header(name, value);
    response.set_content(answer.body, answer.contentType.c_str());
  };
  server_->Post(".*", handler);
  server_->Get(".*", handler);
  server_->Put(".*", handler);
  port_ = port == 0 ? server_->bind_to_any_port("127.0.0.1")
                    : (server_->bind_to_port("127.0.0.1", port) ? port : -1);
  // The worker threads the server starts from this thread inherit its blocked SIGPIPE.
  thread_ = std::thread([this] {
    blockSigpipeOnThisThread();
    server_->listen_after_bind();
  });
  waitUntil([this] { return server_->is_running(); });
}

Collector::~Collector() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

std::string Collector::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void Collector::setResponse(CannedResponse response) {
  std::lock_guard lock(mutex_);
  defaultResponse_ = std::move(response);
}

void Collector::setResponse(const std::string& path, CannedResponse response) {
  std::lock_guard lock(mutex_);
  responses_[path] = std::move(response);
}

void Collector::onRequest(std::function<void(const RecordedRequest&)> callback) {
  std::lock_guard lock(mutex_);
  callback_ = std::move(callback);
}

void Collector::record(RecordedRequest request, CannedResponse& answer) {
  std::function<void(const RecordedRequest&)> callback;
  {
    std::lock_guard lock(mutex_);
    const auto it = responses_.find(request.path);
    answer = it != responses_.end() ? it->second : defaultResponse_;
    ++received_;
    if (keepRequests_) requests_.push_back(request);
    callback = callback_;
  }
  if (callback) callback(request);
}

std::vector<RecordedRequest> Collector::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> Collector::requestsTo(const std::string& path) const {
  std::vector<RecordedRequest> matching;
  for (auto& request : requests()) {
    if (request.path == path) matching.push_back(std::move(request));
  }
  return matching;
}

std::size_t Collector::count() const {
  std::lock_guard lock(mutex_);
  return received_;
}

void Collector::keepRequests(bool keep) {
  std::lock_guard lock(mutex_);
  keepRequests_ = keep;
}

bool Collector::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return this->count() >= count; }, timeout);
}

}  // namespace quillstone::testing
