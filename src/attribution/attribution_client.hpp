// The attribution client: answers from the stored reply or sends the install request, and keeps
// the referral code of the last link that carried one.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "attribution/device_id.hpp"
#include "attribution/install_request.hpp"
#include "attribution/response_parser.hpp"
#include "platform/defaults_store.hpp"
#include "platform/fork_safe.hpp"
#include "platform/http_session.hpp"
#include "platform/worker.hpp"
#include "quillstone/url.hpp"

namespace quillstone::attribution {

// The defaults keys: the accepted reply's exact text, and the flag that ends attribution.
inline constexpr const char* kResultKey = "quillstone_attrib_result";
inline constexpr const char* kDoneKey = "quillstone_attrib_done";

class AttributionClient {
 public:
  using Callback = std::function<void(const ParsedResponse&)>;

  // Every service must outlive the requests the client sends. The install request's answer is
  // stored and handed to the host on `worker`: neither may hold up the HTTP session's thread,
  // which every report of the process goes through.
  AttributionClient(platform::HttpSession& http, platform::Worker& worker,
                    platform::DefaultsStore& defaults, DeviceIdSource& deviceIds,
                    std::function<DeviceFacts()> deviceFacts)
      : http_(http),
        worker_(worker),
        defaults_(defaults),
        deviceIds_(deviceIds),
        deviceFacts_(std::move(deviceFacts)) {}

  // `onResult` runs exactly once: before returning when the installation is attributed already,
  // otherwise on the worker's thread when the install request ends.
  void start(std::string appId, Url server, Callback onResult);

  // True when `urlText` carries a referral code. While the installation is not attributed, the
  // install request goes out at once; its answer reaches the host at the next start.
  bool handle(std::string_view urlText);

  std::string deviceId() { return deviceIds_.deviceId(); }

 private:
  void request(Callback onResult);

  platform::HttpSession& http_;
  platform::Worker& worker_;
  platform::DefaultsStore& defaults_;
  DeviceIdSource& deviceIds_;
  std::function<DeviceFacts()> deviceFacts_;

  // Guards the three fields below against hosts that call from more than one thread; held only
  // while they are copied, never across a call out of this class.
  platform::ForkSafeMutex mutex_;
  std::string appId_;
  std::optional<Url> server_;
  std::optional<std::string> pendingCode_;
};

}  // namespace quillstone::attribution
