#include "core/reports.hpp"

#include <algorithm>
#include <cmath>

#include "base/json_text.hpp"
#include "base/text.hpp"
#include "core/envelope.hpp"
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

EnvelopeContext envelopeContext(const Quillstone::Config& config, const ClientState& state,
                                platform::DefaultsStore& defaults) {
  return {config.appId(), device::installId(defaults), state.sessionId(), config.release()};
}

// Host text, with invalid UTF-8 replaced the way every other host text is.
void appendHostString(std::string& out, std::string_view text) {
  if (base::isValidUtf8(text)) {
    base::appendJsonString(out, text);
  } else {
    base::appendJsonString(out, base::sanitizeUtf8(text));
  }
}

void appendProperties(std::string& out, const Properties& props) {
  out += '{';
  bool first = true;
  for (const auto& [key, text] : props) {
    if (!first) out += ',';
    first = false;
    appendHostString(out, key);
    out += ':';
    appendHostString(out, text);
  }
  out += '}';
}

void appendHostProperties(std::string& out, const std::optional<Properties>& props) {
  if (!props) {
    out += "{}";
    return;
  }
  const bool keysClean = std::all_of(props->begin(), props->end(), [](const auto& entry) {
    return base::isValidUtf8(entry.first);
  });
  if (keysClean) {
    appendProperties(out, *props);
    return;
  }
  // Cleaned keys sort differently and two of them can become one; the later value wins.
  Properties clean;
  for (const auto& [key, text] : *props) clean[base::sanitizeUtf8(key)] = text;
  appendProperties(out, clean);
}

}  // namespace

std::string eventData(std::string_view name, double value, const std::optional<Properties>& props,
                      std::string_view path) {
  base::JsonObjectWriter data;
  data.string("name", name).string("path", path);
  appendHostProperties(data.member("props"), props);
  data.number("value", value);
  return data.finish();
}

std::string errorData(const ErrorFields& fields) {
  const std::string extra = base::JsonObjectWriter().raw("device", fields.device).finish();
  return base::JsonObjectWriter(fields.breadcrumbs.size() + fields.stack.size() + extra.size() +
                                256)
      .raw("breadcrumbs", fields.breadcrumbs)
      .raw("extra", extra)
      .string("kind", kErrorKind)
      .string("level", kErrorLevel)
      .string("message", fields.message)
      .string("name", fields.name)
      .string("path", fields.path)
      .string("stack", fields.stack)
      .finish();
}

nlohmann::json breadcrumbRecord(std::int64_t t, std::string type, nlohmann::json::object_t data) {
  return nlohmann::json::object({{"t", t}, {"type", std::move(type)}, {"data", std::move(data)}});
}

nlohmann::json sanitizedJson(nlohmann::json value) {
  if (value.is_string()) return base::sanitizeUtf8(value.get_ref<const std::string&>());
  if (value.is_array()) {
    for (auto& element : value) element = sanitizedJson(std::move(element));
    return value;
  }
  if (!value.is_object()) return value;
  nlohmann::json clean = nlohmann::json::object();
  for (auto& [key, element] : value.get_ref<nlohmann::json::object_t&>()) {
    clean[base::sanitizeUtf8(key)] = sanitizedJson(std::move(element));
  }
  return clean;
}

void Reports::track(std::string_view name, double value, const std::optional<Properties>& props) {
  const auto config = state_.config();
  if (!config) return;  // nowhere to send it before start
  if (!std::isfinite(value)) return;
  std::string cleanName = base::sanitizeUtf8(name);
  if (base::isBlank(cleanName)) return;
  const std::string data = eventData(cleanName, value, props, state_.currentPage());
  const auto context = envelopeContext(*config, state_, defaults_);
  // A report is sent once; whether it arrived is not looked at.
  delivery_.post(config->server(), envelope(kEventType, context, platform::nowMillis(), data),
                 nullptr);
}

void Reports::capture(std::string_view name, std::string_view message, std::string_view stack) {
  const auto config = state_.config();
  if (!config) return;
  const std::string stackText =
      stack.empty() ? crash::normalize(crash::currentReturnAddresses()) : base::sanitizeUtf8(stack);
  const std::string path = state_.currentPage();
  const std::string breadcrumbs = state_.breadcrumbsJson();
  const std::string device = device::deviceInfo(config->release());
  const std::string cleanName = base::sanitizeUtf8(name);
  const std::string cleanMessage = base::sanitizeUtf8(message);
  const std::string data =
      errorData({cleanName, cleanMessage, stackText, path, device, breadcrumbs});
  const auto context = envelopeContext(*config, state_, defaults_);
  delivery_.post(
      config->server(),
      errorEnvelope(context, state_.userId(), crash::imageUUID(), platform::nowMillis(), data),
      nullptr);
}

void Reports::setUser(std::string_view userId) {
  state_.setUserId(base::graphemePrefix(base::sanitizeUtf8(userId), kMaxUserIdGraphemes));
}

void Reports::setPage(std::string_view page) {
  std::string cleanPage = base::sanitizeUtf8(page);
  state_.setCurrentPage(cleanPage);
  addBreadcrumb(kRouteBreadcrumb, {{"to", std::move(cleanPage)}});
}

bool Reports::addBreadcrumb(std::string_view type, nlohmann::json::object_t data) {
  nlohmann::json cleanData = sanitizedJson(std::move(data));
  if (!hasJsonForm(cleanData)) return false;
  state_.appendBreadcrumb(
      breadcrumbRecord(platform::nowMillis(), base::sanitizeUtf8(type),
                       std::move(cleanData.get_ref<nlohmann::json::object_t&>())));
  return true;
}

}  // namespace quillstone::core
