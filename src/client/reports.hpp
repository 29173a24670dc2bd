// Events, handled errors and the context they carry: what the facade's event calls do.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "client/client_state.hpp"
#include "device/device_info.hpp"
#include "device/install_id.hpp"
#include "platform/services.hpp"
#include "report/report_data.hpp"
#include "transport/delivery.hpp"

namespace quillstone::client {

constexpr std::string_view kRouteBreadcrumb = "route";
// Followed by the breadcrumb's type, quoted and cut as base::appendLoggedText writes it.
constexpr std::string_view kLogBreadcrumbNotAnObject = "[qs] 面包屑数据不是 JSON 对象,已丢弃 ";
constexpr std::string_view kTestEventName = "TestEvent";
constexpr std::string_view kTestEventMessage = "接入自检 —— 看到这条说明已经接通";
static_assert(kTestEventMessage.size() == 50, "the self-test message is fixed to the byte");

// Builds reports from the client's state and hands them to delivery. Every call may come from
// any thread; none waits on the network.
class Reports {
 public:
  Reports(ClientState& state, const transport::Delivery& delivery,
          const platform::Services& services)
      : state_(state), delivery_(delivery), services_(services), installId_(services.defaults) {}

  // Each host text is cut to its limit (base/input_limits.hpp); the report always goes out.
  // Sends a named event. Dropped before start, for a blank name or a non-finite value.
  void track(std::string_view name, double value, const std::optional<report::Properties>& props);
  // Sends a handled error; an empty stack is replaced by the caller's own.
  void capture(std::string_view name, std::string_view message, std::string_view stack);
  void setUser(std::string_view userId);
  void setPage(std::string_view page);
  // `data` is the text of a JSON object (report/breadcrumb_data.hpp). False, with the list
  // unchanged, when it is not one, which the console says, naming `type`. Also false, silently,
  // when it is beyond a limit: its JSON text larger than kMaxBreadcrumbDataBytes, say, as twenty
  // of them would make every error report that large.
  bool addBreadcrumb(std::string_view type, std::string_view data);

 private:
  // Keeps a breadcrumb whose record's `text` so far is kBreadcrumbTextStart and its data's
  // compact text.
  void keepBreadcrumb(std::string_view type, std::string& text);

  ClientState& state_;
  const transport::Delivery& delivery_;
  const platform::Services& services_;
  // The "device" member of error reports, the same for one report after another.
  device::DeviceInfoCache deviceInfo_;
  device::InstallIdCache installId_;
};

}  // namespace quillstone::client
