// The device report: its scheduling with a hand-run worker, then the whole client against the
// loopback collector with the real worker and services.
#include "device/device_report.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <quillstone/attribution.hpp>
#include <quillstone/quillstone.hpp>
#include <set>

#include "client/device_reporting.hpp"
#include "platform/defaults_store.hpp"
#include "platform/services.hpp"
#include "support/collector.hpp"
#include "support/recording_log.hpp"
#include "support/recording_session.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone::device {
namespace {

using Json = nlohmann::json;
using ::testing::MatchesRegex;
using namespace std::chrono_literals;

constexpr const char* kUuidPattern = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";
const std::set<std::string> kEnvelopeKeys{"id",      "type", "platform", "vid", "sid",
                                          "release", "sdk",  "ts",       "data"};

std::set<std::string> keysOf(const Json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

// Keeps armed items until the test runs them.
class ManualWorker final : public platform::Worker {
 public:
  void schedule(std::chrono::milliseconds delay, std::function<void()> work) override {
    delays.push_back(delay);
    items.push_back(std::move(work));
  }
  void runAll() {
    auto armed = std::move(items);
    items.clear();
    for (auto& item : armed) item();
  }
  std::vector<std::chrono::milliseconds> delays;
  std::vector<std::function<void()>> items;
};

using testing::RecordingSession;

// The process's services, with the test's own session, log and defaults store.
platform::Services servicesWith(platform::HttpSession& http, platform::Log& log,
                                platform::DefaultsStore& defaults) {
  const platform::Services& system = platform::systemServices();
  return {log,
          http,
          defaults,
          system.worker,
          system.keychain,
          system.screen,
          system.locale,
          system.timeZone,
          system.resources,
          system.environment,
          system.kernel,
          system.reachability};
}

// A client of its own, owned the way the facade owns its state.
struct OwnedClient {
  OwnedClient(platform::HttpSession& http, platform::Log& log, platform::DefaultsStore& defaults)
      : services(servicesWith(http, log, defaults)),
        delivery(http, log),
        reporter(client::deviceReporter(state, delivery, services)) {}
  platform::Services services;
  transport::Delivery delivery;
  client::ClientState state{[] { return std::string("5E55105E-0000-4000-8000-000000000001"); }};
  DeviceReporter reporter;
};

class DeviceReportScheduling : public ::testing::Test {
 protected:
  std::shared_ptr<OwnedClient> configuredClient() {
    auto client = std::make_shared<OwnedClient>(session, log, defaults);
    client->state.setConfig(Quillstone::Config("app-9", Url::parse("https://c.example.com/"), "7.0",
                                               "test", false, true, false));
    return client;
  }
  static std::shared_ptr<const DeviceReporter> reporterOf(const std::shared_ptr<OwnedClient>& c) {
    return {c, &c->reporter};
  }

  testing::TempHome home;
  testing::RecordingLog log;
  RecordingSession session;
  platform::FileDefaultsStore defaults{home.path() + "/defaults.json"};
  ManualWorker worker;
};

TEST_F(DeviceReportScheduling, ArmsOneItemTwoSecondsOutThatHoldsTheClientOnlyWeakly) {
  auto client = configuredClient();
  const std::weak_ptr<OwnedClient> watch = client;
  scheduleDeviceReport(worker, reporterOf(client));
  EXPECT_EQ(worker.delays, (std::vector<std::chrono::milliseconds>{2000ms}));
  EXPECT_EQ(watch.use_count(), 1);
  client.reset();
  EXPECT_TRUE(watch.expired());
  worker.runAll();  // the client is gone: nothing to claim, nothing sent
  EXPECT_TRUE(session.requests.empty());
}

TEST_F(DeviceReportScheduling, OnlyTheItemThatClaimsTheFlagSendsAndFailureIsNotRetried) {
  auto client = configuredClient();
  scheduleDeviceReport(worker, reporterOf(client));
  scheduleDeviceReport(worker, reporterOf(client));
  worker.runAll();
  ASSERT_EQ(session.requests.size(), 1u);
  EXPECT_TRUE(client->state.deviceReported());
  EXPECT_EQ(session.requests[0].url, "https://c.example.com/rum");

  const Json body = Json::parse(session.requests[0].body);
  EXPECT_EQ(keysOf(body), kEnvelopeKeys);
  EXPECT_EQ(body["type"], "device");
  EXPECT_EQ(body["id"], "app-9");
  EXPECT_EQ(body["release"], "7.0");
  EXPECT_EQ(body["sid"], "5E55105E-0000-4000-8000-000000000001");
  EXPECT_EQ(body["vid"], defaults.string("qs_device_id"));
  EXPECT_TRUE(body["ts"].is_number_integer());
  EXPECT_EQ(body["data"].size(), 27u);
  EXPECT_EQ(body["data"]["appVersion"], "7.0");

  platform::HttpResponse failed;
  failed.error = "Couldn't connect to server";
  session.completions[0](failed);
  scheduleDeviceReport(worker, reporterOf(client));
  worker.runAll();
  EXPECT_EQ(session.requests.size(), 1u);
}

// The shared client against the loopback collector. Each test runs in a process of its own, so
// each starts with deviceReported false.
class DeviceReport : public ::testing::Test {
 protected:
  static Quillstone& client() { return Quillstone::shared(); }

  Quillstone::Config config(bool reportDevice, bool requireConsent) const {
    return Quillstone::Config("app-3", Quillstone::resolveServer(collector.url()), "5.1", "test",
                              false, reportDevice, requireConsent);
  }

  std::vector<Json> deviceReports() const {
    std::vector<Json> reports;
    for (const auto& request : collector.requestsTo("/rum")) {
      const Json body = Json::parse(request.body);
      if (body["type"] == "device") reports.push_back(body);
    }
    return reports;
  }

  bool waitForDeviceReport() {
    return testing::waitUntil([&] { return !deviceReports().empty(); });
  }

  // Lets every item armed so far run and reach the collector. The worker runs items in deadline
  // order on one thread, so a marker armed now with the same delay runs after all of them; an
  // event sent after the marker then arrives after anything those items posted.
  void settle(const std::string& label) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    platform::systemWorker().schedule(kDeviceReportDelay, [ran] { *ran = true; });
    ASSERT_TRUE(testing::waitUntil([&] { return ran->load(); }));
    client().track(label, 0, std::nullopt);
    ASSERT_TRUE(testing::waitUntil([&] {
      for (const auto& request : collector.requestsTo("/rum")) {
        if (Json::parse(request.body)["data"].value("name", "") == label) return true;
      }
      return false;
    }));
  }

  testing::TempHome home;
  testing::Collector collector;
};

TEST_F(DeviceReport, OneReportAboutTwoSecondsAfterStartAndNoneMore) {
  const auto started = std::chrono::steady_clock::now();
  client().start(config(true, false));
  client().setConsent(true);  // asks again within the delay
  ASSERT_TRUE(waitForDeviceReport());
  const auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, kDeviceReportDelay);
  EXPECT_LT(elapsed, kDeviceReportDelay + 8s);

  const Json report = deviceReports()[0];
  EXPECT_EQ(keysOf(report), kEnvelopeKeys);
  EXPECT_EQ(report["id"], "app-3");
  EXPECT_EQ(report["platform"], "ios");
  EXPECT_EQ(report["release"], "5.1");
  EXPECT_EQ(report["sdk"], "1.0.0-ios");
  EXPECT_THAT(report["sid"].get<std::string>(), MatchesRegex(kUuidPattern));
  EXPECT_EQ(report["vid"], platform::systemDefaults().string("qs_device_id"));
  EXPECT_TRUE(report["ts"].is_number_integer());
  EXPECT_EQ(report["data"].size(), 27u);
  EXPECT_EQ(report["data"]["stableId"], Attribution::shared().deviceId());

  client().setConsent(true);  // after the report: nothing more to send
  settle("after the report");
  EXPECT_EQ(deviceReports().size(), 1u);
}

TEST_F(DeviceReport, WaitsForConsentAndWithdrawingItCancelsNothing) {
  client().setConsent(true);  // before start: recorded, but there is nothing to schedule yet
  client().start(config(true, true));
  settle("before consent");
  EXPECT_TRUE(deviceReports().empty());

  const auto consented = std::chrono::steady_clock::now();
  client().setConsent(true);
  client().setConsent(true);
  client().setConsent(false);
  ASSERT_TRUE(waitForDeviceReport());
  EXPECT_GE(std::chrono::steady_clock::now() - consented, kDeviceReportDelay);
  settle("after the report");
  EXPECT_EQ(deviceReports().size(), 1u);
}

TEST_F(DeviceReport, NeverWhenTheConfigurationTurnsItOff) {
  client().start(config(false, false));
  client().setConsent(true);
  settle("after consent");
  EXPECT_TRUE(deviceReports().empty());
}

}  // namespace
}  // namespace quillstone::device
