// The once-per-launch device report.
#pragma once

#include <chrono>
#include <memory>

#include "core/client_state.hpp"
#include "platform/defaults_store.hpp"
#include "platform/worker.hpp"
#include "transport/delivery.hpp"

namespace quillstone::device {

// Long enough after start-up for the host to have finished launching before the profile's
// blocking queries run.
inline constexpr std::chrono::milliseconds kDeviceReportDelay{2000};

// The parts of the client the device report reads and leaves through.
struct DeviceReporter {
  core::ClientState& state;
  const transport::Delivery& delivery;
  platform::DefaultsStore& defaults;
};

// Builds the report (the envelope with "type" "device" and the full profile as "data") and
// posts it once; whether it arrives is not looked at. Nothing is sent without a configuration.
// Blocks on the profile's queries: runs on the worker's thread.
void reportDevice(const DeviceReporter& client);

// Arms one attempt, kDeviceReportDelay from now on `worker`, and returns at once. The item holds
// the client weakly and does nothing if it is gone by then. However many items are armed, only
// the one that claims the client's deviceReported flag sends the report.
void scheduleDeviceReport(platform::Worker& worker, std::weak_ptr<const DeviceReporter> client);

}  // namespace quillstone::device
