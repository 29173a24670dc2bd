// The envelope every report shares.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "report/report_data.hpp"

namespace quillstone::report {

// The members of an envelope, seen where they are held: a report written at once needs no copy.
struct EnvelopeView {
  std::string_view appId;
  std::string_view installId;
  std::string_view sessionId;
  std::string_view release;
};

// The members of an envelope, held for a report written later.
struct EnvelopeContext {
  std::string appId;
  std::string installId;
  std::string sessionId;
  std::string release;

  operator EnvelopeView() const noexcept { return {appId, installId, sessionId, release}; }
};

// The nine-key envelope of events and device reports, as compact JSON text around `data`, the
// compact JSON text of its "data".
std::string envelope(std::string_view type, const EnvelopeView& context, std::int64_t ts,
                     std::string_view data);

// The event report of `fields`: envelope() around appendEventData()'s text, written as one text.
std::string eventReport(std::string_view type, const EnvelopeView& context, std::int64_t ts,
                        const EventFields& fields);

// The eleven-key envelope of error reports and crash files ("type" "error").
std::string errorEnvelope(const EnvelopeView& context, std::string_view userId,
                          std::string_view imageUUID, std::int64_t ts, std::string_view data);

// The error report of `fields`: errorEnvelope() around errorData(), written as one text.
std::string errorReport(const EnvelopeView& context, std::string_view userId,
                        std::string_view imageUUID, std::int64_t ts, const ErrorFields& fields);

// False when `value` holds, at any depth, something JSON cannot express: a non-finite number
// or a discarded value.
bool hasJsonForm(const nlohmann::json& value);

// Compact JSON text, or nullopt when the value has no JSON form (a non-finite number anywhere).
std::optional<std::string> serialize(const nlohmann::json& value);

}  // namespace quillstone::report
