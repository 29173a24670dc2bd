// Events, handled errors and the context they carry: what the facade's event calls do.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/client_state.hpp"
#include "core/delivery.hpp"
#include "platform/defaults_store.hpp"

namespace quillstone::core {

constexpr std::size_t kMaxUserIdGraphemes = 120;
constexpr std::string_view kRouteBreadcrumb = "route";
constexpr std::string_view kTestEventName = "TestEvent";
constexpr std::string_view kTestEventMessage = "接入自检 —— 看到这条说明已经接通";
static_assert(kTestEventMessage.size() == 50, "the self-test message is fixed to the byte");

using Properties = std::map<std::string, std::string>;

// "data" of a named event, as compact JSON text. `name` and `path` are clean UTF-8 already;
// the properties are cleaned here.
std::string eventData(std::string_view name, double value, const std::optional<Properties>& props,
                      std::string_view path);

// What "data" of a handled error holds: clean text, and `device` (the basic device map) and
// `breadcrumbs` (the list) as compact JSON text.
struct ErrorFields {
  std::string_view name;
  std::string_view message;
  std::string_view stack;
  std::string_view path;
  std::string_view device;
  std::string_view breadcrumbs;
};

// "data" of a handled error, as compact JSON text.
std::string errorData(const ErrorFields& fields);

nlohmann::json breadcrumbRecord(std::int64_t t, std::string type, nlohmann::json::object_t data);

// `value` with invalid UTF-8 replaced by U+FFFD in every string and every key, at any depth.
nlohmann::json sanitizedJson(nlohmann::json value);

// Builds reports from the client's state and hands them to delivery. Every call may come from
// any thread; none waits on the network.
class Reports {
 public:
  Reports(ClientState& state, const Delivery& delivery, platform::DefaultsStore& defaults)
      : state_(state), delivery_(delivery), defaults_(defaults) {}

  // Sends a named event. Dropped before start, for a blank name or a non-finite value.
  void track(std::string_view name, double value, const std::optional<Properties>& props);
  // Sends a handled error; an empty stack is replaced by the caller's own.
  void capture(std::string_view name, std::string_view message, std::string_view stack);
  void setUser(std::string_view userId);
  void setPage(std::string_view page);
  // False, with the list unchanged, when `data` holds something JSON cannot express: kept, it
  // would make every later error report unsendable until newer breadcrumbs pushed it out.
  bool addBreadcrumb(std::string_view type, nlohmann::json::object_t data);

 private:
  ClientState& state_;
  const Delivery& delivery_;
  platform::DefaultsStore& defaults_;
};

}  // namespace quillstone::core
