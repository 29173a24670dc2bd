// Servers that misbehave: one that holds requests and never answers, one that resets every
// connection, one that answers late. The host's calls never wait on any of them, every
// completion runs, and a crash file stays on disk until a server accepted it.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <quillstone/attribution.hpp>
#include <quillstone/quillstone.hpp>

#include "crash/crash_dir.hpp"
#include "platform/files.hpp"
#include "platform/http_session.hpp"
#include "support/closed_port.hpp"
#include "support/log_capture.hpp"
#include "support/raw_server.hpp"
#include "support/recording_log.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"
#include "transport/delivery.hpp"

namespace quillstone::testing {
namespace {

// The HTTP session opens at most this many connections to one host; more requests queue.
constexpr int kConnectionsPerHost = 6;
const std::string kCrashBytes = "{\"type\":\"error\",\"data\":{\"name\":\"SIGSEGV\"}}";

void neverAnswers(RawServer& server, int client) {
  if (server.readRequest(client)) server.holdUntilReleased(client);
  // Released: the connection ends without an answer.
}

void resets(RawServer& server, int client) {
  if (server.readRequest(client)) RawServer::reset(client);
}

RawServer::Serve answersLate(int status) {
  return [status](RawServer& server, int client) {
    if (!server.readRequest(client) || !server.holdUntilReleased(client)) return;
    RawServer::answer(client, status);
    server.countAnswer();
  };
}

std::string crashFile() { return crash::crashDirectory() + "/crash-signal.json"; }

void leaveCrashFile() { std::ofstream(crashFile(), std::ios::binary) << kCrashBytes; }

Quillstone::Config configFor(const std::string& server) {
  return Quillstone::Config("app", Quillstone::resolveServer(server), "1.0", "test", true, false,
                            false);
}

class HeldRequests : public ::testing::TestWithParam<int> {};

// Every call that sends something, from the host's thread, against a server that holds each
// request until the test lets it go. The test releases the server only after every call has
// returned and the server holds every request, so no call can have waited for an answer.
TEST_P(HeldRequests, HostCallsReturnWhileTheServerHoldsEveryRequest) {
  const int status = GetParam();
  TempHome home;
  StderrCapture log;
  RawServer server(status == 0 ? RawServer::Serve(neverAnswers) : answersLate(status));
  leaveCrashFile();
  std::atomic<int> results{0};
  std::atomic<bool> matched{true};

  auto& client = Quillstone::shared();
  client.start(configFor(server.base()));  // uploads the crash file
  client.setUser("u");
  client.setPage("/p");
  client.addBreadcrumb("tap", R"({"x":1})");
  client.track("e", 1, std::nullopt);
  client.track("f", 2, std::map<std::string, std::string>{{"k", "v"}});
  client.capture("E", "m", "s");
  client.testEvent();
  Attribution::shared().start("app", *Url::parse(server.base()), [&](const auto& result) {
    matched = result.matched();
    ++results;
  });
  ASSERT_TRUE(waitUntil([&] { return server.received() == kConnectionsPerHost; }));
  EXPECT_EQ(server.answered(), 0);
  EXPECT_EQ(results.load(), 0);
  // With every connection held, further calls queue behind them and still return.
  client.track("queued", 2, std::nullopt);
  EXPECT_TRUE(Attribution::shared().handle(*Url::parse("app://open/a/CODE")));
  EXPECT_EQ(server.received(), kConnectionsPerHost);
  EXPECT_EQ(platform::readFile(crashFile()), kCrashBytes) << "deleted before any answer";

  server.release();
  ASSERT_TRUE(waitUntil([&] { return server.received() == kConnectionsPerHost + 2; }));
  ASSERT_TRUE(waitUntil([&] { return results.load() == 1; }));
  if (status >= 200 && status <= 299) {
    EXPECT_TRUE(log.waitFor("[qs] 已上报并删除 crash-signal.json"));
    EXPECT_TRUE(waitUntil([] { return !std::filesystem::exists(crashFile()); }));
  } else {
    EXPECT_FALSE(matched.load());
    EXPECT_TRUE(log.waitFor("[qs] 上报失败,留到下次 crash-signal.json"));
    EXPECT_EQ(platform::readFile(crashFile()), kCrashBytes);
  }
  if (status == 0) {
    EXPECT_TRUE(log.waitFor("[qs] 网络失败 "));
  }
}

// 0: the connection ends without any answer.
INSTANTIATE_TEST_SUITE_P(FaultInjection, HeldRequests, ::testing::Values(0, 503, 200),
                         [](const auto& info) {
                           return info.param == 0 ? std::string("NeverAnswered")
                                                  : "AnsweredLateWith" + std::to_string(info.param);
                         });

TEST(FaultInjection, ResetConnectionsFailEveryReportAndKeepTheCrashFile) {
  TempHome home;
  StderrCapture log;
  RawServer server(resets);
  leaveCrashFile();
  std::atomic<int> results{0};
  Quillstone::shared().start(configFor(server.base()));
  Quillstone::shared().track("e", 1, std::nullopt);
  Quillstone::shared().capture("E", "m", "s");
  Attribution::shared().start("app", *Url::parse(server.base()), [&](const auto& result) {
    EXPECT_FALSE(result.matched());
    ++results;
  });
  ASSERT_TRUE(log.waitFor("[qs] 上报失败,留到下次 crash-signal.json"));
  ASSERT_TRUE(waitUntil([&] { return results.load() == 1; }));
  ASSERT_TRUE(waitUntil([&] { return server.received() == 4; }));
  EXPECT_EQ(platform::readFile(crashFile()), kCrashBytes);
  EXPECT_NE(log.text().find("[qs] 网络失败 "), std::string::npos);
}

// Each post's done runs exactly once, with the right verdict, whatever the server does, also for
// the posts that waited in the queue behind held connections.
struct DeliveryCase {
  const char* name;
  RawServer::Serve serve;
  bool success;
  friend void PrintTo(const DeliveryCase& c, std::ostream* out) { *out << c.name; }
};

class EveryDone : public ::testing::TestWithParam<DeliveryCase> {};

TEST_P(EveryDone, FiresOncePerPostWithTheVerdict) {
  constexpr int kPosts = kConnectionsPerHost + 4;
  RecordingLog log;
  RawServer server(GetParam().serve);
  transport::Delivery delivery(platform::systemHttpSession(), log);
  std::atomic<int> done{0};
  std::atomic<int> succeeded{0};
  for (int i = 0; i < kPosts; ++i) {
    delivery.post(Url::parse(server.base()), "{\"n\":" + std::to_string(i) + "}", [&](bool ok) {
      succeeded += ok;
      ++done;
    });
  }
  ASSERT_TRUE(
      waitUntil([&] { return server.received() >= std::min(kPosts, kConnectionsPerHost); }));
  server.release();
  ASSERT_TRUE(waitUntil([&] { return done.load() == kPosts; })) << done.load();
  EXPECT_EQ(succeeded.load(), GetParam().success ? kPosts : 0);
  EXPECT_EQ(server.received(), kPosts);
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, EveryDone,
                         ::testing::Values(DeliveryCase{"NeverAnswered", neverAnswers, false},
                                           DeliveryCase{"Reset", resets, false},
                                           DeliveryCase{"LateServerError", answersLate(500), false},
                                           DeliveryCase{"LateSuccess", answersLate(204), true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FaultInjection, ARequestTimeoutEndsAHeldRequest) {
  RawServer server(neverAnswers);
  std::atomic<bool> done{false};
  platform::HttpResponse response;
  platform::HttpRequest request;
  request.url = server.url();
  request.body = "{}";
  request.timeout = std::chrono::milliseconds(200);
  platform::systemHttpSession().start(std::move(request), [&](platform::HttpResponse r) {
    response = std::move(r);
    done = true;
  });
  ASSERT_TRUE(waitUntil([&] { return done.load(); }));
  // The server never let the request go: only the timeout can have ended it.
  EXPECT_EQ(server.answered(), 0);
  EXPECT_TRUE(response.error.has_value());
  EXPECT_FALSE(response.isHttp);
}

TEST(FaultInjection, AnUnreachableServerFailsEveryDone) {
  RecordingLog log;
  transport::Delivery delivery(platform::systemHttpSession(), log);
  std::atomic<int> failed{0};
  const auto server = Url::parse("http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/");
  for (int i = 0; i < 3; ++i) delivery.post(server, "{}", [&](bool ok) { failed += !ok; });
  delivery.post(std::nullopt, "{}", [&](bool ok) { failed += !ok; });
  ASSERT_TRUE(waitUntil([&] { return failed.load() == 4; }));
}

}  // namespace
}  // namespace quillstone::testing
