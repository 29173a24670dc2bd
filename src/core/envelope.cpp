#include "core/envelope.hpp"

#include <cmath>

#include "core/constants.hpp"

namespace quillstone::core {
namespace {

nlohmann::json commonKeys(std::string_view type, const EnvelopeContext& context, std::int64_t ts,
                          nlohmann::json data) {
  return nlohmann::json::object({
      {"id", context.appId},
      {"type", type},
      {"platform", kPlatform},
      {"vid", context.installId},
      {"sid", context.sessionId},
      {"release", context.release},
      {"sdk", kSdkVersion},
      {"ts", ts},
      {"data", std::move(data)},
  });
}

}  // namespace

bool hasJsonForm(const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::number_float:
      return std::isfinite(value.get<double>());
    case nlohmann::json::value_t::discarded:
      return false;
    case nlohmann::json::value_t::object:
    case nlohmann::json::value_t::array:
      for (const auto& element : value) {
        if (!hasJsonForm(element)) return false;
      }
      return true;
    default:
      return true;
  }
}

nlohmann::json envelope(std::string_view type, const EnvelopeContext& context, std::int64_t ts,
                        nlohmann::json data) {
  return commonKeys(type, context, ts, std::move(data));
}

nlohmann::json errorEnvelope(const EnvelopeContext& context, std::string userId,
                             std::string imageUUID, std::int64_t ts, nlohmann::json data) {
  auto report = commonKeys(kErrorType, context, ts, std::move(data));
  report["userId"] = std::move(userId);
  report["imageUUID"] = std::move(imageUUID);
  return report;
}

std::optional<std::string> serialize(const nlohmann::json& report) {
  // The writer would print a non-finite number as null, which is not the value that was
  // reported, and a discarded value as text no parser accepts.
  if (!hasJsonForm(report)) return std::nullopt;
  try {
    // Host text is cleaned on the way in; replacing here keeps any stray invalid byte (from the
    // configuration, say) from costing the whole report.
    return report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace quillstone::core
