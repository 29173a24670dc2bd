#include "client/device_reporting.hpp"

#include "device/install_id.hpp"
#include "quillstone/attribution.hpp"

namespace quillstone::client {

device::DeviceReporter deviceReporter(ClientState& state, const transport::Delivery& delivery,
                                      const platform::Services& services) {
  auto snapshot = [&state,
                   &defaults = services.defaults]() -> std::optional<device::DeviceSnapshot> {
    const auto config = state.config();
    if (!config) return std::nullopt;
    return device::DeviceSnapshot{config->appId(), config->release(), config->server(),
                                  state.sessionId(), device::installId(defaults)};
  };
  // Reading it creates the identifier when the attribution client has not done so yet.
  auto stableId = [] { return Attribution::shared().deviceId(); };
  // While reporting is off the armed report leaves the flag alone: turning it on arms it again.
  auto claim = [&state, &delivery] { return delivery.enabled() && state.claimDeviceReport(); };
  return {std::move(snapshot), std::move(claim), delivery, services, std::move(stableId)};
}

}  // namespace quillstone::client
