#include "device_demo.hpp"

#include <quillstone/attribution.hpp>
#include <quillstone/quillstone.hpp>

#include <chrono>
#include <iostream>
#include <optional>

#include <nlohmann/json.hpp>

#include "support/wait.hpp"

namespace {

using quillstone::Quillstone;

// The report leaves two seconds after consent; the rest is margin for a loaded machine.
constexpr auto kDeviceWait = std::chrono::seconds(15);

// The first device report among the collector's requests from `first` on.
std::optional<nlohmann::json> deviceReport(const quillstone::testing::Collector& collector,
                                           std::size_t first) {
  const auto requests = collector.requests();
  for (std::size_t i = first; i < requests.size(); ++i) {
    if (requests[i].path != "/rum") continue;
    auto body = nlohmann::json::parse(requests[i].body, nullptr, false);
    if (body.is_object() && body.value("type", "") == "device") return body;
  }
  return std::nullopt;
}

}  // namespace

bool runDeviceDemo(const quillstone::testing::Collector& collector) {
  const std::size_t before = collector.count();
  std::cout << "device demo: consent given; the device report follows in two seconds" << std::endl;
  Quillstone::shared().setConsent(true);
  std::optional<nlohmann::json> report;
  const bool arrived = quillstone::testing::waitUntil(
      [&] { return (report = deviceReport(collector, before)).has_value(); }, kDeviceWait);
  if (!arrived) {
    std::cerr << "demo: the device report did not arrive in time" << std::endl;
    return false;
  }
  const auto& data = (*report)["data"];
  const bool sameId = data.value("stableId", "") == quillstone::Attribution::shared().deviceId();
  std::cout << "device demo: " << data.size() << " entries: " << data.value("model", "") << ", "
            << data.value("os", "") << " " << data.value("osVersion", "") << ", screen "
            << data["screen"].dump() << ", " << data.value("memoryMb", 0) << " MiB memory, "
            << data.value("diskFreeMb", 0) << " of " << data.value("diskTotalMb", 0)
            << " MiB disk free; stable id " << (sameId ? "matches" : "differs from")
            << " the attribution device id" << std::endl;
  return true;
}
