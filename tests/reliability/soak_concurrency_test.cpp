// Sixteen host threads calling every public call of both classes for a while, with crash uploads
// and install requests in flight and the device report firing. Run under ThreadSanitizer in CI;
// QS_SOAK_SECONDS sets the duration.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <quillstone/attribution.hpp>
#include <quillstone/json.hpp>
#include <quillstone/quillstone.hpp>
#include <thread>
#include <vector>

#include "crash/crash_dir.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone::testing {
namespace {

using Json = nlohmann::json;

constexpr int kThreads = 16;
constexpr int kDefaultSeconds = 10;
// Bounds each thread's loop in count as well as in time.
constexpr int kMaxRounds = 100000;
constexpr int kPendingCrashFiles = 3;
constexpr std::size_t kMaxInFlight = 400;

std::chrono::seconds soakDuration() {
  const char* text = std::getenv("QS_SOAK_SECONDS");
  const int value = text ? std::atoi(text) : 0;
  return std::chrono::seconds(value > 0 ? value : kDefaultSeconds);
}

struct Sent {
  std::atomic<std::size_t> events{0};
  std::atomic<std::size_t> errors{0};
  std::atomic<std::size_t> attributionStarts{0};
  std::atomic<std::size_t> attributionResults{0};
};

void callEverything(int thread, int round, const Quillstone::Config& config, const Url& server,
                    Sent& sent) {
  auto& client = Quillstone::shared();
  auto& attribution = Attribution::shared();
  const std::string me = "t" + std::to_string(thread);
  switch (round % 8) {
    case 0:
      // Each start installs the crash handlers again; a few per thread are plenty.
      if (round % 64 == 0) client.start(config);
      break;
    case 1:
      client.setConsent(round % 16 == 1);
      break;
    case 2:
      client.flushPendingCrashes();
      break;
    case 3:
      ++sent.attributionStarts;
      attribution.start("app", server, [&sent](const Attribution::Result& result) {
        (void)result.channel();
        ++sent.attributionResults;
      });
      break;
    case 4:
      attribution.handle(*Url::parse("app://open/a/" + me));
      (void)attribution.deviceId();
      break;
    default:
      break;
  }
  client.setUser(me);
  client.setPage("/" + me + "/" + std::to_string(round));
  addBreadcrumb(client, "tap", {{"thread", thread}, {"round", round}});
  client.track(me, round, std::map<std::string, std::string>{{"r", std::to_string(round)}});
  ++sent.events;
  client.capture("E", me, round % 2 == 0 ? "" : "given stack");
  ++sent.errors;
  if (round % 5 == 0) {
    client.testEvent();
    ++sent.errors;
  }
  const std::uint64_t addresses[] = {1, 2, 3};
  EXPECT_FALSE(client.normalize(addresses).empty());
  (void)Quillstone::imageUUID();
  (void)Quillstone::machineId();
  (void)Quillstone::cpuArch();
  (void)Quillstone::networkType();
  (void)Quillstone::isJailbroken();
  (void)Quillstone::resolveServer(me);
}

TEST(SoakConcurrency, SixteenThreadsCallEveryPublicCallOfBothClasses) {
  TempHome home;
  Collector collector;
  for (int i = 0; i < kPendingCrashFiles; ++i) {
    std::ofstream(crash::crashDirectory() + "/old-" + std::to_string(i) + ".json")
        << "{\"pending\":" << i << "}";
  }
  const Quillstone::Config config("app", Quillstone::resolveServer(collector.url()), "1.0", "ci",
                                  true, true, false);
  const Url server = *Url::parse(collector.url());
  Sent sent;
  const auto deadline = std::chrono::steady_clock::now() + soakDuration();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kMaxRounds && std::chrono::steady_clock::now() < deadline;
           ++round) {
        // Keeps the reports in flight bounded, so the run ends with a short drain rather than a
        // queue that outlives it.
        waitUntil([&] { return sent.events + sent.errors < collector.count() + kMaxInFlight; });
        callEverything(t, round, config, server, sent);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  // Every report arrives and parses; the device report comes once, after its delay. Only the
  // requests that arrived since the last look are parsed.
  std::map<std::string, std::size_t> types;
  std::size_t parsed = 0;
  std::size_t corrupt = 0;
  const auto everythingArrived = [&] {
    if (collector.count() > parsed) {
      const auto requests = collector.requests();
      for (; parsed < requests.size(); ++parsed) {
        if (requests[parsed].path != "/rum") continue;
        const Json report = Json::parse(requests[parsed].body, nullptr, false);
        if (report.is_discarded()) ++corrupt;
        if (report.is_object()) ++types[report.value("type", "")];
      }
    }
    return types["event"] == sent.events && types["error"] == sent.errors && types["device"] == 1 &&
           sent.attributionResults == sent.attributionStarts;
  };
  ASSERT_TRUE(waitUntil(everythingArrived, std::chrono::seconds(180)))
      << "events " << types["event"] << "/" << sent.events << ", errors " << types["error"] << "/"
      << sent.errors << ", device " << types["device"] << ", attribution "
      << sent.attributionResults << "/" << sent.attributionStarts;
  EXPECT_EQ(corrupt, 0u);
  for (const auto& request : collector.requestsTo("/attrib/install")) {
    EXPECT_TRUE(Json::parse(request.body, nullptr, false).is_object()) << request.body;
  }
  // The old crash files were uploaded, each at least once, and then deleted.
  for (int i = 0; i < kPendingCrashFiles; ++i) {
    const std::string body = "{\"pending\":" + std::to_string(i) + "}";
    bool seen = false;
    for (const auto& request : collector.requestsTo("/rum")) seen = seen || request.body == body;
    EXPECT_TRUE(seen) << body;
  }
  EXPECT_TRUE(waitUntil([] {
    for (int i = 0; i < kPendingCrashFiles; ++i) {
      if (std::ifstream(crash::crashDirectory() + "/old-" + std::to_string(i) + ".json")) {
        return false;
      }
    }
    return true;
  }));
}

}  // namespace
}  // namespace quillstone::testing
