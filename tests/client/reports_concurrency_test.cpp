// Every public call from many threads at once: run under ThreadSanitizer in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <quillstone/json.hpp>
#include <quillstone/quillstone.hpp>
#include <set>
#include <thread>
#include <vector>

#include "support/collector.hpp"
#include "support/temp_home.hpp"

namespace quillstone {
namespace {

using Json = nlohmann::json;

constexpr int kThreads = 16;
constexpr int kMaxRounds = 12;
constexpr auto kRunFor = std::chrono::seconds(2);

void checkBreadcrumbs(const Json& crumbs) {
  ASSERT_TRUE(crumbs.is_array());
  EXPECT_LE(crumbs.size(), 20u);
  for (const auto& crumb : crumbs) {
    EXPECT_EQ(crumb.size(), 3u);
    EXPECT_TRUE(crumb["t"].is_number_integer());
    EXPECT_TRUE(crumb["data"].is_object());
  }
}

TEST(ReportsConcurrency, SixteenThreadsCallingEveryPublicCall) {
  testing::TempHome home;
  testing::Collector collector;
  auto& client = Quillstone::shared();
  const Quillstone::Config config("app", Quillstone::resolveServer(collector.url()), "1.0", "ci",
                                  false, false, false);
  std::atomic<std::size_t> reportsSent{0};
  const auto deadline = std::chrono::steady_clock::now() + kRunFor;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string me = "thread-" + std::to_string(t);
      for (int round = 0; round < kMaxRounds && std::chrono::steady_clock::now() < deadline;
           ++round) {
        client.start(config);
        client.setUser(me);
        client.setPage("/" + me + "/" + std::to_string(round));
        addBreadcrumb(client, "tap", {{"thread", t}, {"round", round}});
        client.track(me, round, std::map<std::string, std::string>{{"r", std::to_string(round)}});
        client.capture("E", me, round % 2 == 0 ? "" : "given stack");
        reportsSent += 2;
        if (round % 4 == 0) {
          client.testEvent();
          ++reportsSent;
        }
        const std::uint64_t addresses[] = {1, 2, 3};
        EXPECT_FALSE(client.normalize(addresses).empty());
        EXPECT_FALSE(Quillstone::imageUUID().empty());
        Quillstone::machineId();
        Quillstone::cpuArch();
        Quillstone::networkType();
        Quillstone::isJailbroken();
      }
    });
  }
  for (auto& thread : threads) thread.join();

  ASSERT_TRUE(collector.waitForRequests(reportsSent, std::chrono::seconds(120)))
      << collector.count() << " of " << reportsSent;
  std::set<std::string> sessions;
  for (const auto& request : collector.requests()) {
    const Json report = Json::parse(request.body);  // throws, failing the test, if unparsable
    sessions.insert(report["sid"].get<std::string>());
    if (report["type"] == "error") checkBreadcrumbs(report["data"]["breadcrumbs"]);
  }
  EXPECT_EQ(sessions.size(), 1u);

  // More than twenty were added, so the list is full: none went missing under contention.
  client.capture("Final", "m", "s");
  ASSERT_TRUE(collector.waitForRequests(reportsSent + 1));
  const auto requests = collector.requests();
  for (const auto& request : requests) {
    const Json report = Json::parse(request.body);
    if (report["data"]["name"] == "Final") {
      EXPECT_EQ(report["data"]["breadcrumbs"].size(), 20u);
    }
  }
}

}  // namespace
}  // namespace quillstone
