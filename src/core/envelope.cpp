#include "core/envelope.hpp"

#include <cmath>

#include "core/constants.hpp"
#include "core/json_text.hpp"

namespace quillstone::core {
namespace {

struct ErrorKeys {
  std::string_view userId;
  std::string_view imageUUID;
};

void appendMember(std::string& out, std::string_view key, std::string_view value) {
  out += ',';
  appendJsonKey(out, key);
  appendJsonString(out, value);
}

// Members in sorted order, as reports have always been written.
std::string write(std::string_view type, const EnvelopeContext& context, std::int64_t ts,
                  std::string_view data, const ErrorKeys* error) {
  std::string out;
  out.reserve(data.size() + 256);
  out += '{';
  appendJsonKey(out, "data");
  out += data;
  appendMember(out, "id", context.appId);
  if (error) appendMember(out, "imageUUID", error->imageUUID);
  appendMember(out, "platform", kPlatform);
  appendMember(out, "release", context.release);
  appendMember(out, "sdk", kSdkVersion);
  appendMember(out, "sid", context.sessionId);
  out += ',';
  appendJsonKey(out, "ts");
  appendJsonNumber(out, ts);
  appendMember(out, "type", type);
  if (error) appendMember(out, "userId", error->userId);
  appendMember(out, "vid", context.installId);
  out += '}';
  return out;
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

std::string envelope(std::string_view type, const EnvelopeContext& context, std::int64_t ts,
                     std::string_view data) {
  return write(type, context, ts, data, nullptr);
}

std::string errorEnvelope(const EnvelopeContext& context, std::string_view userId,
                          std::string_view imageUUID, std::int64_t ts, std::string_view data) {
  const ErrorKeys error{userId, imageUUID};
  return write(kErrorType, context, ts, data, &error);
}

std::optional<std::string> serialize(const nlohmann::json& value) {
  // The writer would print a non-finite number as null, which is not the value that was
  // reported, and a discarded value as text no parser accepts.
  if (!hasJsonForm(value)) return std::nullopt;
  try {
    // Host text is cleaned on the way in; replacing here keeps any stray invalid byte (from the
    // configuration, say) from costing the whole report.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (...) {
    return std::nullopt;
  }
}

}  // namespace quillstone::core
