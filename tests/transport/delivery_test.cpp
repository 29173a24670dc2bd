#include "transport/delivery.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <ostream>
#include <thread>

#include "support/closed_port.hpp"
#include "support/collector.hpp"
#include "support/raw_server.hpp"
#include "support/recording_log.hpp"
#include "support/wait.hpp"

namespace quillstone::transport {
namespace {

using testing::CannedResponse;
using testing::Collector;
using testing::RawServer;
using testing::RecordingLog;
using testing::waitUntil;

// The outcome of one post, filled in on the session's thread.
struct Outcome {
  std::atomic<int> calls{0};
  std::atomic<bool> success{false};
  std::thread::id thread;
  Done callback() {
    return [this](bool ok) {
      thread = std::this_thread::get_id();
      success = ok;
      ++calls;
    };
  }
  bool arrived() {
    return waitUntil([this] { return calls.load() > 0; });
  }
};

class DeliveryTest : public ::testing::Test {
 protected:
  Collector collector;
  RecordingLog log;
  Delivery delivery{platform::systemHttpSession(), log};
};

TEST_F(DeliveryTest, PostsTheBodyUnchangedWithOneHeader) {
  Outcome outcome;
  const std::string body = "{\"k\":\"\xe6\x97\xa5\",\"n\":1}";
  delivery.post(Url::parse(collector.url()), body, outcome.callback());
  ASSERT_TRUE(outcome.arrived());
  EXPECT_TRUE(outcome.success);
  EXPECT_EQ(outcome.calls, 1);
  EXPECT_NE(outcome.thread, std::this_thread::get_id());
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].path, "/rum");
  EXPECT_EQ(requests[0].body, body);
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  for (const auto& [name, value] : requests[0].headers) {
    EXPECT_TRUE(name == "Content-Type" || name == "Host" || name == "Content-Length")
        << "unexpected header " << name << ": " << value;
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(DeliveryTest, JoinsRumWithExactlyOneSlash) {
  const std::string root = "http://127.0.0.1:" + std::to_string(collector.port());
  for (const std::string& base : {root, root + "/", root + "/api", root + "/api/"}) {
    Outcome outcome;
    delivery.post(Url::parse(base), "{}", outcome.callback());
    ASSERT_TRUE(outcome.arrived()) << base;
  }
  const auto requests = collector.requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].path, "/rum");
  EXPECT_EQ(requests[1].path, "/rum");
  EXPECT_EQ(requests[2].path, "/api/rum");
  EXPECT_EQ(requests[3].path, "/api/rum");
}

TEST_F(DeliveryTest, SucceedsOnlyFor2xxAndLogsNothingForOtherStatuses) {
  for (const int status : {200, 204, 299, 300, 404, 500}) {
    collector.setResponse(CannedResponse{status, "", "text/plain"});
    Outcome outcome;
    delivery.post(Url::parse(collector.url()), "{}", outcome.callback());
    ASSERT_TRUE(outcome.arrived()) << status;
    EXPECT_EQ(outcome.success, status >= 200 && status <= 299) << status;
  }
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(DeliveryTest, UnreachableServerLogsTheNetworkErrorAndFails) {
  Outcome outcome;
  const auto url = "http://127.0.0.1:" + std::to_string(testing::closedLoopbackPort()) + "/";
  delivery.post(Url::parse(url), "{}", outcome.callback());
  ASSERT_TRUE(outcome.arrived());
  EXPECT_FALSE(outcome.success);
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("[qs] 网络失败 ", 0), 0u) << log.lines()[0];
  EXPECT_GT(log.lines()[0].size(), std::string_view("[qs] 网络失败 ").size());
}

TEST_F(DeliveryTest, AServerThatIsDownGivesOneLineNotOnePerReport) {
  constexpr int kReports = 20;
  const auto url = "http://127.0.0.1:" + std::to_string(testing::closedLoopbackPort()) + "/";
  std::atomic<int> failed{0};
  for (int i = 0; i < kReports; ++i) {
    delivery.post(Url::parse(url), "{}", [&failed](bool ok) { failed += ok ? 0 : 1; });
  }
  ASSERT_TRUE(waitUntil([&] { return failed.load() == kReports; }));
  // The first failure's own line; the rest fall within the same ten seconds and are counted.
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].rfind("[qs] 网络失败 ", 0), 0u) << log.lines()[0];
}

TEST_F(DeliveryTest, UnusualSchemesAreRefusedNotFollowed) {
  // "localhost:<port>" names the scheme "localhost": curl would guess plain HTTP for it and
  // reach the collector.
  const std::string localhost = "localhost:" + std::to_string(collector.port());
  for (const std::string& server : {std::string("ftp://127.0.0.1/"), std::string("file:///tmp/"),
                                    std::string("myapp:collector"), localhost}) {
    Outcome outcome;
    delivery.post(Url::parse(server), "{}", outcome.callback());
    ASSERT_TRUE(outcome.arrived()) << server;
    EXPECT_FALSE(outcome.success) << server;
  }
  // The first refusal's line; the next ones come within seconds and are only counted.
  EXPECT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(collector.count(), 0u);
}

// The body of a post's reply is never read, so its size cannot fail the report.
TEST_F(DeliveryTest, AReplyWithABodyAboveFourMebibytesIsASuccess) {
  collector.setResponse(CannedResponse{200, std::string(5 << 20, 'x'), "text/plain"});
  Outcome outcome;
  delivery.post(Url::parse(collector.url()), "{}", outcome.callback());
  ASSERT_TRUE(outcome.arrived());
  EXPECT_TRUE(outcome.success);
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(DeliveryTest, WithoutAServerFailsOnTheSessionThread) {
  Outcome outcome;
  delivery.post(std::nullopt, "{}", outcome.callback());
  ASSERT_TRUE(outcome.arrived());
  EXPECT_FALSE(outcome.success);
  EXPECT_NE(outcome.thread, std::this_thread::get_id());
  EXPECT_EQ(collector.count(), 0u);
}

TEST_F(DeliveryTest, ConcurrencyManyPostsFromManyThreadsEachCompleteOnce) {
  constexpr int kThreads = 8;
  constexpr int kPostsPerThread = 25;
  std::atomic<int> successes{0};
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPostsPerThread; ++i) {
        const std::string body =
            "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}";
        delivery.post(Url::parse(collector.url()), body,
                      [&](bool ok) { ++(ok ? successes : failures); });
      }
    });
  }
  for (auto& thread : threads) thread.join();
  constexpr int kTotal = kThreads * kPostsPerThread;
  ASSERT_TRUE(waitUntil([&] { return successes + failures == kTotal; }));
  EXPECT_EQ(successes, kTotal);
  EXPECT_EQ(collector.count(), static_cast<std::size_t>(kTotal));
}

// How the server answers, and what a flush then says.
struct FlushCase {
  const char* name;
  int status;  // 0: accepts and never answers
  bool delivered;
  friend void PrintTo(const FlushCase& c, std::ostream* out) { *out << c.name; }
};

class DeliveryFlush : public ::testing::TestWithParam<FlushCase> {};

TEST_P(DeliveryFlush, ConcurrencyWaitsForEveryEarlierPostAndSaysWhetherAllWereDelivered) {
  constexpr int kPosts = 8;
  Collector collector;
  collector.setResponse(CannedResponse{GetParam().status, "", "text/plain"});
  RawServer silent([](RawServer& self, int client) { self.holdUntilReleased(client); });
  const std::string server = GetParam().status == 0 ? silent.base() : collector.url();
  RecordingLog log;
  Delivery delivery{platform::systemHttpSession(), log};
  std::atomic<int> done{0};
  for (int i = 0; i < kPosts; ++i) delivery.post(Url::parse(server), "{}", [&](bool) { ++done; });
  // Against a server that answers, the caller waits as long as it takes.
  const auto timeout =
      GetParam().status == 0 ? std::chrono::milliseconds(300) : std::chrono::milliseconds::max();
  EXPECT_EQ(delivery.flush(timeout), GetParam().delivered);
  if (GetParam().status != 0) {
    // Every callback has run by the time a flush that did not time out returns.
    EXPECT_EQ(done.load(), kPosts);
    // Nothing is open any more: a later flush has nothing to wait for.
    EXPECT_TRUE(delivery.flush(std::chrono::milliseconds(0)));
  }
  // The held posts end before what their completions use goes away.
  silent.release();
  EXPECT_TRUE(waitUntil([&] { return done.load() == kPosts; }));
}

INSTANTIATE_TEST_SUITE_P(Answers, DeliveryFlush,
                         ::testing::Values(FlushCase{"Accepted", 200, true},
                                           FlushCase{"Refused", 500, false},
                                           FlushCase{"Silent", 0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeliveryTest, ConcurrencySwitchedOffSendsNothingDropsWhatWaitsAndResumes) {
  RawServer silent([](RawServer& self, int client) { self.holdUntilReleased(client); });
  std::atomic<int> failed{0};
  const auto count = [&](bool ok) { failed += ok ? 0 : 1; };
  // Six posts take the connections; four wait for one.
  for (int i = 0; i < 10; ++i) delivery.post(Url::parse(silent.base()), "{}", count);
  ASSERT_TRUE(waitUntil([&] { return silent.accepted() == 6; }));
  delivery.setEnabled(false);
  EXPECT_TRUE(waitUntil([&] { return failed.load() == 4; }));
  Outcome whileOff;
  delivery.post(Url::parse(collector.url()), "{}", whileOff.callback());
  ASSERT_TRUE(whileOff.arrived());
  EXPECT_FALSE(whileOff.success);

  delivery.setEnabled(true);
  Outcome after;
  delivery.post(Url::parse(collector.url()), "{\"n\":1}", after.callback());
  ASSERT_TRUE(after.arrived());
  EXPECT_TRUE(after.success);
  EXPECT_EQ(collector.count(), 1u);  // the post made while off never went out
  EXPECT_EQ(collector.requests().at(0).body, "{\"n\":1}");
  EXPECT_EQ(failed.load(), 4);
  EXPECT_TRUE(log.lines().empty());
  // The held posts end before what their completions use goes away.
  silent.release();
  EXPECT_TRUE(waitUntil([&] { return failed.load() == 10; }));
}

}  // namespace
}  // namespace quillstone::transport
