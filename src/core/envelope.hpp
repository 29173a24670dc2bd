// The envelope every report shares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillstone::core {

struct EnvelopeContext {
  std::string appId;
  std::string installId;
  std::string sessionId;
  std::string release;
};

// The nine-key envelope of events and device reports.
nlohmann::json envelope(std::string_view type, const EnvelopeContext& context, std::int64_t ts,
                        nlohmann::json data);

// The eleven-key envelope of error reports and crash files ("type" "error").
nlohmann::json errorEnvelope(const EnvelopeContext& context, std::string userId,
                             std::string imageUUID, std::int64_t ts, nlohmann::json data);

// The "type" of error reports and crash files.
constexpr std::string_view kErrorType = "error";

// False when `value` holds, at any depth, something JSON cannot express: a non-finite number
// or a discarded value.
bool hasJsonForm(const nlohmann::json& value);

// Compact JSON text, or nullopt when the value has no JSON form (a non-finite number anywhere).
std::optional<std::string> serialize(const nlohmann::json& report);

}  // namespace quillstone::core
