// A loopback TCP server whose handling of each connection is up to the test: it can hold a
// request without answering, reset the connection or answer late. Each connection is served on a
// thread of its own, so one held request never keeps the next from arriving.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quillstone::testing {

class RawServer {
 public:
  // Runs for each accepted connection; the server closes the socket when it returns.
  using Serve = std::function<void(RawServer& server, int client)>;

  explicit RawServer(Serve serve);
  // Wakes every held connection and joins the connection threads.
  ~RawServer();
  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/"
  std::string base() const;
  // The report endpoint under base().
  std::string url() const { return base() + "rum"; }

  // For Serve: reads one HTTP request (head and Content-Length body) and records its body;
  // false when the peer went away first or the server is stopping.
  bool readRequest(int client);
  // For Serve: waits until release() or the server stops; false when it stopped. Bounded.
  bool holdUntilReleased(int client);
  // For Serve: answers with `status` and an empty JSON body.
  static void answer(int client, int status);
  // For Serve: ends the connection with a TCP reset instead of an answer.
  static void reset(int client);

  void release() { released_ = true; }
  // Connections accepted, requests fully read, and answers sent so far.
  int accepted() const { return accepted_.load(); }
  int received() const { return received_.load(); }
  int answered() const { return answered_.load(); }
  void countAnswer() { ++answered_; }
  std::vector<std::string> bodies() const;

 private:
  void acceptLoop();

  Serve serve_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> listening_{false};
  std::atomic<bool> released_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> received_{0};
  std::atomic<int> answered_{0};
  mutable std::mutex mutex_;
  std::vector<int> clients_;
  std::vector<std::thread> connections_;
  std::vector<std::string> bodies_;
  std::thread acceptor_;
};

}  // namespace quillstone::testing
