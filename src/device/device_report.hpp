// The once-per-launch device report.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "device/full_profile.hpp"
#include "platform/services.hpp"
#include "platform/worker.hpp"
#include "quillstone/url.hpp"
#include "transport/delivery.hpp"

namespace quillstone::device {

// Long enough after start-up for the host to have finished launching before the profile's
// blocking queries run.
inline constexpr std::chrono::milliseconds kDeviceReportDelay{2000};

// What the report's envelope needs from the client's configuration and state, read once.
struct DeviceSnapshot {
  std::string appId;
  std::string release;
  Url server;
  std::string sessionId;
  std::string installId;
};

// The parts of the client the device report reads and leaves through. The client supplies
// them; the report never sees the client itself.
struct DeviceReporter {
  // The configuration of the latest start with the session and install ids, or nullopt before
  // the first start.
  std::function<std::optional<DeviceSnapshot>()> snapshot;
  // Sets the client's once-per-launch flag; true only for the one caller that changed it.
  std::function<bool()> claimReport;
  const transport::Delivery& delivery;
  const platform::Services& services;
  StableIdSource stableId;
};

// Builds the report (the envelope with "type" "device" and the full profile as "data") and
// posts it once; whether it arrives is not looked at. Nothing is sent without a configuration.
// Blocks on the profile's queries: runs on the worker's thread.
void reportDevice(const DeviceReporter& client);

// Arms one attempt, kDeviceReportDelay from now on `worker`, and returns at once. The item holds
// the client weakly and does nothing if it is gone by then. However many items are armed, only
// the one that claims the client's once-per-launch flag sends the report.
void scheduleDeviceReport(platform::Worker& worker, std::weak_ptr<const DeviceReporter> client);

}  // namespace quillstone::device
