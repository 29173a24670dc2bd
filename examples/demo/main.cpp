// quillstone-demo: a host program that starts the client against an embedded loopback collector
// and shows every report that arrives.
#include <quillstone/quillstone.hpp>

#include <chrono>
#include <iostream>

#include "attribution_demo.hpp"
#include "crash_demo.hpp"
#include "device_demo.hpp"
#include "support/collector.hpp"

namespace {

using quillstone::Quillstone;

// Long enough for a loaded machine; the demo never waits longer than this per step.
constexpr auto kReportWait = std::chrono::seconds(15);

// Waits until the collector holds `count` reports; false (and a message) when they are late.
bool waitFor(const quillstone::testing::Collector& collector, std::size_t count, const char* what) {
  if (collector.waitForRequests(count, kReportWait)) return true;
  std::cerr << "demo: " << what << " did not arrive in time" << std::endl;
  return false;
}

}  // namespace

int main() {
  quillstone::testing::Collector collector;
  collector.onRequest([](const quillstone::testing::RecordedRequest& request) {
    std::cout << "collector <- " << request.method << " " << request.path << " " << request.body
              << std::endl;
  });
  std::cout << "embedded collector at " << collector.url() << std::endl;

  std::cout << "device: model " << Quillstone::machineId() << ", arch " << Quillstone::cpuArch()
            << ", network " << Quillstone::networkType() << ", image " << Quillstone::imageUUID()
            << std::endl;

  // The device report waits for consent, so the reports below arrive alone and in order.
  Quillstone::Config config("demo-app", Quillstone::resolveServer(collector.url()), "1.0.0",
                            "development", true, true, true);
  auto& client = Quillstone::shared();
  client.start(config);
  std::cout << "client started with server " << config.server().string() << std::endl;

  client.setUser("demo-user-42");
  client.setPage("/home");
  client.addBreadcrumb("tap", R"({"button":"buy","count":1})");
  client.setPage("/checkout");

  // Each report is awaited before the next, so they print in the order they were made.
  client.track("purchase", 19.99, std::map<std::string, std::string>{{"currency", "EUR"}});
  if (!waitFor(collector, 1, "the event")) return 1;
  client.track("opened", 1, std::nullopt);
  if (!waitFor(collector, 2, "the second event")) return 1;
  client.capture("PaymentDeclined", "card expired", "");
  if (!waitFor(collector, 3, "the handled error")) return 1;
  client.testEvent();
  if (!waitFor(collector, 4, "the test event")) return 1;

  std::cout << "demo: all four reports arrived" << std::endl;

  // Reports first: the counts above assume nothing else has reached the collector yet.
  runAttributionDemo(collector);
  if (!runDeviceDemo(collector)) return 1;
  if (!runCrashDemo(collector, config)) return 1;
  return 0;
}
