#include "platform/http_session.hpp"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/raw_server.hpp"
#include "support/wait.hpp"

namespace quillstone::platform {
namespace {

using testing::RawServer;
using testing::runInChild;
using testing::waitUntil;

HttpRequest post(const std::string& url, std::string body = "{}") {
  HttpRequest request;
  request.url = url;
  request.body = std::move(body);
  request.headers = {{"Content-Type", "application/json"}};
  return request;
}

// The signal mask of the library thread called `name`, from /proc.
std::string blockedSignalsOf(const std::string& name) {
  DIR* tasks = opendir("/proc/self/task");
  std::string mask;
  while (const dirent* entry = readdir(tasks)) {
    const std::string base = std::string("/proc/self/task/") + entry->d_name;
    std::ifstream comm(base + "/comm");
    std::string threadName;
    std::getline(comm, threadName);
    if (threadName != name) continue;
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigBlk:", 0) == 0) mask = line.substr(7);
    }
  }
  closedir(tasks);
  return mask;
}

bool isBlocked(const std::string& hexMask, int signal) {
  const unsigned long long bits = std::stoull(hexMask, nullptr, 16);
  return (bits >> (signal - 1)) & 1ULL;
}

TEST(HttpSession, ReturnsTheStatusAndBodyOfTheReply) {
  testing::Collector collector;
  collector.setResponse({201, "{\"ok\":true}"});
  std::atomic<bool> done{false};
  HttpResponse response;
  systemHttpSession().start(post(collector.url() + "x"), [&](HttpResponse r) {
    response = std::move(r);
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  EXPECT_TRUE(response.isHttp);
  EXPECT_EQ(response.status, 201);
  EXPECT_EQ(response.body, "{\"ok\":true}");
  EXPECT_FALSE(response.error);
}

// Requests beyond six to one host wait for a connection in the session, not as easy handles in
// curl; they must still all run, never more than six at once.
TEST(HttpSession, RunsAtMostSixRequestsToOneHostAtOnceAndCompletesTheRest) {
  constexpr int kRequests = 20;
  constexpr std::size_t kMaxAtOnce = 6;
  testing::Collector collector;
  std::atomic<int> inHandler{0};
  std::atomic<int> mostAtOnce{0};
  std::atomic<bool> gateOpen{false};
  collector.onRequest([&](const testing::RecordedRequest&) {
    const int now = ++inHandler;
    int seen = mostAtOnce.load();
    while (now > seen && !mostAtOnce.compare_exchange_weak(seen, now)) {
    }
    // The first requests hold their connections until six are open at once, so a seventh
    // would show up here if the session let it through.
    waitUntil([&] { return gateOpen.load() || inHandler.load() >= static_cast<int>(kMaxAtOnce); });
    gateOpen = true;
    --inHandler;
  });
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kRequests; ++i) {
    systemHttpSession().start(post(collector.url() + "rum", std::to_string(i)),
                              [&](HttpResponse r) {
                                if (r.isHttp && r.status == 200) ++succeeded;
                              });
  }
  ASSERT_TRUE(waitUntil([&] { return succeeded.load() == kRequests; }));
  EXPECT_EQ(collector.count(), static_cast<std::size_t>(kRequests));
  EXPECT_EQ(static_cast<std::size_t>(mostAtOnce.load()), kMaxAtOnce);
}

TEST(HttpSession, LibraryThreadsBlockTheHostsAsynchronousSignals) {
  testing::Collector collector;
  std::atomic<bool> done{false};
  systemHttpSession().start(post(collector.url()), [&](HttpResponse) { done = true; });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  const std::string mask = blockedSignalsOf("qs-http");
  ASSERT_FALSE(mask.empty());
  for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGHUP, SIGUSR1, SIGCHLD}) {
    EXPECT_TRUE(isBlocked(mask, signal)) << signal;
  }
  for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) {
    EXPECT_FALSE(isBlocked(mask, signal)) << signal;
  }
}

TEST(HttpSession, APeerClosingTheConnectionNeverRaisesSigpipeInTheHost) {
  // The server reads a little and closes, while a large body is still being sent.
  RawServer server([](RawServer&, int client) {
    char buffer[512];
    (void)!read(client, buffer, sizeof buffer);
  });
  const auto result = runInChild([&] {
    std::atomic<int> completions{0};
    for (int i = 0; i < 4; ++i) {
      systemHttpSession().start(post(server.url(), std::string(8 << 20, 'x')), [&](HttpResponse r) {
        if (r.error) ++completions;
      });
    }
    if (!waitUntil([&] { return completions.load() == 4; })) std::_Exit(3);
    std::_Exit(0);
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
}

TEST(HttpSession, ProcessExitWithRequestsInFlightNeitherCrashesNorHangs) {
  constexpr int kRequests = 6;
  int accepted[2];
  ASSERT_EQ(pipe(accepted), 0);
  // Accepts and never answers; tells the child once every request is connected.
  RawServer server([&](RawServer& self, int client) {
    if (self.accepted() == kRequests) (void)!write(accepted[1], "x", 1);
    self.holdUntilReleased(client);
  });
  const auto result = runInChild(
      [&] {
        for (int i = 0; i < kRequests; ++i) systemHttpSession().start(post(server.url()), nullptr);
        pollfd ready{accepted[0], POLLIN, 0};
        if (poll(&ready, 1, 15000) != 1) std::_Exit(3);
        std::exit(0);  // runs exit handlers and static destructors while requests hang
      },
      std::chrono::seconds(30));
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  close(accepted[0]);
  close(accepted[1]);
}

}  // namespace
}  // namespace quillstone::platform
