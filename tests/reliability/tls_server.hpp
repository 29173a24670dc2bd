// A loopback HTTPS server whose certificate is self-signed, generated afresh for each test. It
// counts the handshakes that failed and the requests it could read after a handshake that
// succeeded, so a test can tell a refused server from one that was trusted.
#pragma once

#include <atomic>
#include <string>
#include <thread>

struct ssl_ctx_st;

namespace quillstone::testing {

class SelfSignedTlsServer {
 public:
  SelfSignedTlsServer();
  ~SelfSignedTlsServer();
  SelfSignedTlsServer(const SelfSignedTlsServer&) = delete;
  SelfSignedTlsServer& operator=(const SelfSignedTlsServer&) = delete;

  // False when no certificate could be made.
  bool ready() const { return context_ != nullptr; }
  // "https://127.0.0.1:<port>/"
  std::string base() const;
  int failedHandshakes() const { return failed_.load(); }
  int requestsRead() const { return requests_.load(); }

 private:
  void serve(int client);

  ssl_ctx_st* context_ = nullptr;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> failed_{0};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

}  // namespace quillstone::testing
