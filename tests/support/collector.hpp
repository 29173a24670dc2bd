// A loopback collection server: records every request and answers with a chosen status.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
}

namespace quillstone::testing {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // The value of the first header named `name` (case-insensitive), or "".
  std::string header(std::string_view name) const;
};

struct CannedResponse {
  int status = 200;
  std::string body;
  std::string contentType = "application/json";
  // Further reply headers ("Location" of a redirect, say).
  std::vector<std::pair<std::string, std::string>> headers = {};
};

class Collector {
 public:
  // Listens on 127.0.0.1 at `port` (0: any free port) until destroyed.
  explicit Collector(int port = 0);
  ~Collector();
  Collector(const Collector&) = delete;
  Collector& operator=(const Collector&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/"
  std::string url() const;

  // The answer to every request whose path has no answer of its own.
  void setResponse(CannedResponse response);
  // The answer to requests for `path` ("/rum", "/attrib/install").
  void setResponse(const std::string& path, CannedResponse response);
  // Called for each request, on a server thread, after it was recorded.
  void onRequest(std::function<void(const RecordedRequest&)> callback);

  // Whether requests are kept for requests() (the default) or only counted, for long runs.
  void keepRequests(bool keep);

  std::vector<RecordedRequest> requests() const;
  std::vector<RecordedRequest> requestsTo(const std::string& path) const;
  // How many requests arrived.
  std::size_t count() const;
  // Waits (bounded) until at least `count` requests arrived.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

 private:
  void record(RecordedRequest request, CannedResponse& answer);

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  mutable std::mutex mutex_;
  std::vector<RecordedRequest> requests_;
  std::size_t received_ = 0;
  bool keepRequests_ = true;
  CannedResponse defaultResponse_;
  std::map<std::string, CannedResponse> responses_;
  std::function<void(const RecordedRequest&)> callback_;
};

}  // namespace quillstone::testing
