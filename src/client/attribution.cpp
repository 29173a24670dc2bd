// The public face of install attribution: the shared instance over the client and its services.
#include "quillstone/attribution.hpp"

#include "attribution/attribution_client.hpp"
#include "platform/services.hpp"

namespace quillstone {

struct Attribution::Impl {
  explicit Impl(const platform::Services& services)
      : deviceIds(services.keychain),
        client(services.http, services.worker, services.defaults, deviceIds,
               [&services] { return attribution::deviceFactsFrom(services); }) {}

  attribution::DeviceIdSource deviceIds;
  attribution::AttributionClient client;
};

Attribution::Attribution() : impl_(std::make_unique<Impl>(platform::systemServices())) {}
Attribution::~Attribution() = default;

Attribution& Attribution::shared() noexcept {
  // Never destroyed: install requests may still complete while the process exits.
  static Attribution* instance = new Attribution();
  return *instance;
}

void Attribution::start(std::string appId, Url server,
                        std::function<void(const Result&)> onResult) noexcept {
  try {
    impl_->client.start(std::move(appId), std::move(server),
                        [onResult = std::move(onResult)](const attribution::ParsedResponse& r) {
                          if (!onResult) return;
                          onResult(Result(r.matched, r.channel, r.channelName, r.method, r.params));
                        });
  } catch (...) {
    // Nothing reaches the host as an exception.
  }
}

bool Attribution::handle(const Url& url) noexcept {
  try {
    return impl_->client.handle(url.string());
  } catch (...) {
    return false;
  }
}

std::string Attribution::deviceId() const noexcept {
  try {
    return impl_->deviceIds.deviceId();
  } catch (...) {
    return {};
  }
}

}  // namespace quillstone
