#include "device/device_report.hpp"

#include "device/full_profile.hpp"
#include "platform/clock.hpp"
#include "report/envelope.hpp"

namespace quillstone::device {
namespace {

constexpr std::string_view kDeviceType = "device";

// Runs on the worker's thread.
void runArmedReport(const std::weak_ptr<const DeviceReporter>& weakClient) {
  const auto client = weakClient.lock();
  if (!client) return;
  // The flag is claimed before the report is built, so the items armed by a repeated start or
  // by consent given during the delay find it taken and end here.
  if (!client->claimReport()) return;
  reportDevice(*client);
}

}  // namespace

void reportDevice(const DeviceReporter& client) {
  // One snapshot of the configuration for the whole report, so a start on another thread cannot
  // give the envelope one release and the profile another.
  const auto snapshot = client.snapshot();
  if (!snapshot) return;
  const report::EnvelopeContext context{snapshot->appId, snapshot->installId, snapshot->sessionId,
                                        snapshot->release};
  const auto ts = platform::nowMillis();
  const auto data =
      report::serialize(fullDeviceInfo(client.services, client.stableId, snapshot->release));
  if (!data) return;
  // Not retried: the next launch sends a fresh one.
  client.delivery.post(snapshot->server, report::envelope(kDeviceType, context, ts, *data),
                       [](bool) {});
}

void scheduleDeviceReport(platform::Worker& worker, std::weak_ptr<const DeviceReporter> client) {
  worker.schedule(kDeviceReportDelay, [client = std::move(client)] { runArmedReport(client); });
}

}  // namespace quillstone::device
