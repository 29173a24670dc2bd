#include "core/reports.hpp"

#include <cmath>

#include "core/envelope.hpp"
#include "core/text.hpp"
#include "crash/build_uuid.hpp"
#include "crash/stack_format.hpp"
#include "device/device_info.hpp"
#include "device/install_id.hpp"
#include "platform/clock.hpp"

namespace quillstone::core {
namespace {

constexpr std::string_view kEventType = "event";
constexpr std::string_view kErrorKind = "exception";
constexpr std::string_view kErrorLevel = "error";

// What an error report carries while it is written without its breadcrumbs. The bytes can stand
// only for the breadcrumbs member: inside any string of the report a quote is escaped.
constexpr std::string_view kEmptyBreadcrumbs = "\"breadcrumbs\":[]";

// Puts the breadcrumbs, written when each was added, where the report holds none.
bool insertBreadcrumbs(std::string& body, std::string_view breadcrumbsJson) {
  const auto at = body.find(kEmptyBreadcrumbs);
  if (at == std::string::npos) return false;
  const std::size_t emptyArray = at + kEmptyBreadcrumbs.size() - 2;
  body.replace(emptyArray, 2, breadcrumbsJson);
  return true;
}

EnvelopeContext envelopeContext(const Quillstone::Config& config, const ClientState& state,
                                platform::DefaultsStore& defaults) {
  return {config.appId(), device::installId(defaults), state.sessionId(), config.release()};
}

}  // namespace

nlohmann::json eventData(std::string name, double value, const std::optional<Properties>& props,
                         std::string path) {
  nlohmann::json properties = nlohmann::json::object();
  if (props) {
    for (const auto& [key, text] : *props) properties[sanitizeUtf8(key)] = sanitizeUtf8(text);
  }
  return nlohmann::json::object({
      {"name", std::move(name)},
      {"value", value},
      {"props", std::move(properties)},
      {"path", std::move(path)},
  });
}

nlohmann::json errorData(std::string name, std::string message, std::string stack, std::string path,
                         nlohmann::json device, std::vector<nlohmann::json> breadcrumbs) {
  // Moved in whole: copying breadcrumb records is the dearest step of a report.
  nlohmann::json crumbs = nlohmann::json::array();
  crumbs.get_ref<nlohmann::json::array_t&>() = std::move(breadcrumbs);
  return nlohmann::json::object({
      {"kind", kErrorKind},
      {"level", kErrorLevel},
      {"name", std::move(name)},
      {"message", std::move(message)},
      {"stack", std::move(stack)},
      {"path", std::move(path)},
      {"extra", nlohmann::json::object({{"device", std::move(device)}})},
      {"breadcrumbs", std::move(crumbs)},
  });
}

nlohmann::json breadcrumbRecord(std::int64_t t, std::string type, nlohmann::json::object_t data) {
  return nlohmann::json::object({{"t", t}, {"type", std::move(type)}, {"data", std::move(data)}});
}

nlohmann::json sanitizedJson(nlohmann::json value) {
  if (value.is_string()) return sanitizeUtf8(value.get_ref<const std::string&>());
  if (value.is_array()) {
    for (auto& element : value) element = sanitizedJson(std::move(element));
    return value;
  }
  if (!value.is_object()) return value;
  nlohmann::json clean = nlohmann::json::object();
  for (auto& [key, element] : value.get_ref<nlohmann::json::object_t&>()) {
    clean[sanitizeUtf8(key)] = sanitizedJson(std::move(element));
  }
  return clean;
}

void Reports::track(std::string_view name, double value, const std::optional<Properties>& props) {
  const auto config = state_.config();
  if (!config) return;  // nowhere to send it before start
  if (!std::isfinite(value)) return;
  std::string cleanName = sanitizeUtf8(name);
  if (isBlank(cleanName)) return;
  auto data = eventData(std::move(cleanName), value, props, state_.currentPage());
  const auto context = envelopeContext(*config, state_, defaults_);
  send(config->server(), envelope(kEventType, context, platform::nowMillis(), std::move(data)));
}

void Reports::capture(std::string_view name, std::string_view message, std::string_view stack) {
  const auto config = state_.config();
  if (!config) return;
  std::string stackText =
      stack.empty() ? crash::normalize(crash::currentReturnAddresses()) : sanitizeUtf8(stack);
  std::string path = state_.currentPage();
  const std::string breadcrumbs = state_.breadcrumbsJson();
  auto data = errorData(sanitizeUtf8(name), sanitizeUtf8(message), std::move(stackText),
                        std::move(path), device::deviceInfo(config->release()), {});
  const auto context = envelopeContext(*config, state_, defaults_);
  auto body = serialize(errorEnvelope(context, state_.userId(), crash::imageUUID(),
                                      platform::nowMillis(), std::move(data)));
  if (!body || !insertBreadcrumbs(*body, breadcrumbs)) return;
  delivery_.post(config->server(), std::move(*body), nullptr);
}

void Reports::setUser(std::string_view userId) {
  state_.setUserId(graphemePrefix(sanitizeUtf8(userId), kMaxUserIdGraphemes));
}

void Reports::setPage(std::string_view page) {
  std::string cleanPage = sanitizeUtf8(page);
  state_.setCurrentPage(cleanPage);
  addBreadcrumb(kRouteBreadcrumb, {{"to", std::move(cleanPage)}});
}

bool Reports::addBreadcrumb(std::string_view type, nlohmann::json::object_t data) {
  nlohmann::json cleanData = sanitizedJson(std::move(data));
  if (!hasJsonForm(cleanData)) return false;
  state_.appendBreadcrumb(
      breadcrumbRecord(platform::nowMillis(), sanitizeUtf8(type),
                       std::move(cleanData.get_ref<nlohmann::json::object_t&>())));
  return true;
}

void Reports::send(const Url& server, const nlohmann::json& report) const {
  auto body = serialize(report);
  if (!body) return;  // no JSON form: dropped like any report that cannot be written
  // A report is sent once; whether it arrived is not looked at.
  delivery_.post(server, std::move(*body), nullptr);
}

}  // namespace quillstone::core
