// What the client hands to the device report: its state, read at the moment the report runs.
#pragma once

#include "client/client_state.hpp"
#include "device/device_report.hpp"
#include "platform/services.hpp"
#include "transport/delivery.hpp"

namespace quillstone::client {

// The device report's view of `state`: the configuration with the session and install ids,
// the once-per-launch flag, and the attribution device identifier as "stableId". Refers to
// `state`, `delivery` and `services`, which must outlive it.
device::DeviceReporter deviceReporter(ClientState& state, const transport::Delivery& delivery,
                                      const platform::Services& services);

}  // namespace quillstone::client
