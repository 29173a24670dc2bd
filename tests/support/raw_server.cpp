#include "support/raw_server.hpp"
#include "support/sigpipe.hpp"
#include "support/wait.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quillstone::testing {
namespace {

// More connections than any test opens; later ones are closed at once.
constexpr int kMaxConnections = 64;
constexpr int kBacklog = 64;
constexpr int kPollStepMillis = 20;
// Upper bounds for every wait of a connection thread.
constexpr auto kReadLimit = std::chrono::seconds(30);
constexpr auto kHoldLimit = std::chrono::seconds(120);

// Content-Length of a request head, or 0.
std::size_t contentLength(const std::string& head) {
  for (std::size_t at = head.find("\r\n"); at != std::string::npos;
       at = head.find("\r\n", at + 2)) {
    constexpr std::string_view kName = "content-length:";
    if (head.size() - (at + 2) < kName.size()) break;
    if (strncasecmp(head.c_str() + at + 2, kName.data(), kName.size()) == 0) {
      return std::strtoul(head.c_str() + at + 2 + kName.size(), nullptr, 10);
    }
  }
  return 0;
}

}  // namespace

RawServer::RawServer(Serve serve) : serve_(std::move(serve)) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  listen(listener_, kBacklog);
  socklen_t length = sizeof address;
  getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { acceptLoop(); });
  // Until the thread is parked in accept() it may be allocating; a test that forks meanwhile
  // would hand its child an allocator lock that nobody releases.
  waitUntil([this] { return listening_.load(); });
}

RawServer::~RawServer() {
  stopping_ = true;
  shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  close(listener_);
  {
    std::lock_guard lock(mutex_);
    for (int client : clients_) shutdown(client, SHUT_RDWR);
  }
  for (auto& connection : connections_) connection.join();
}

std::string RawServer::base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

void RawServer::acceptLoop() {
  // Answers go to clients that may have given up already; the connection threads started here
  // inherit the blocked SIGPIPE.
  blockSigpipeOnThisThread();
  listening_ = true;
  while (!stopping_) {
    const int client = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    std::lock_guard lock(mutex_);
    if (static_cast<int>(clients_.size()) >= kMaxConnections) {
      close(client);
      continue;
    }
    ++accepted_;
    clients_.push_back(client);
    connections_.emplace_back([this, client] {
      serve_(*this, client);
      // Closed under the lock, so the destructor never shuts down a reused descriptor number.
      std::lock_guard closing(mutex_);
      std::erase(clients_, client);
      close(client);
    });
  }
}

bool RawServer::readRequest(int client) {
  std::string data;
  const auto deadline = std::chrono::steady_clock::now() + kReadLimit;
  std::size_t headEnd = std::string::npos;
  while (!stopping_ && std::chrono::steady_clock::now() < deadline) {
    if (headEnd == std::string::npos) headEnd = data.find("\r\n\r\n");
    if (headEnd != std::string::npos &&
        data.size() >= headEnd + 4 + contentLength(data.substr(0, headEnd + 2))) {
      std::lock_guard lock(mutex_);
      bodies_.push_back(data.substr(headEnd + 4));
      ++received_;
      return true;
    }
    pollfd ready{client, POLLIN, 0};
    if (poll(&ready, 1, kPollStepMillis) <= 0) continue;
    char buffer[16384];
    const ssize_t got = read(client, buffer, sizeof buffer);
    if (got <= 0) return false;
    data.append(buffer, static_cast<std::size_t>(got));
  }
  return false;
}

bool RawServer::holdUntilReleased(int) {
  const auto deadline = std::chrono::steady_clock::now() + kHoldLimit;
  while (!released_ && !stopping_ && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMillis));
  }
  return released_ && !stopping_;
}

void RawServer::answer(int client, int status) {
  const std::string reply = "HTTP/1.1 " + std::to_string(status) +
                            " Status\r\nContent-Type: application/json\r\nContent-Length: 2\r\n"
                            "Connection: close\r\n\r\n{}";
  (void)!write(client, reply.data(), reply.size());
}

void RawServer::reset(int client) {
  // Closing with a zero linger time sends RST instead of FIN; the close follows when Serve returns.
  linger abort{1, 0};
  setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

std::vector<std::string> RawServer::bodies() const {
  std::lock_guard lock(mutex_);
  return bodies_;
}

}  // namespace quillstone::testing
