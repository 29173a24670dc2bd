#include "report/envelope.hpp"

#include <cmath>

#include "base/constants.hpp"
#include "base/json_text.hpp"
#include "report/report_data.hpp"

namespace quillstone::report {
namespace {

struct ErrorKeys {
  std::string_view userId;
  std::string_view imageUUID;
};

// Members in sorted order, as reports have always been written. `writeData` appends the text of
// "data", about `dataSize` bytes, to the string it is given.
template <class WriteData>
std::string write(std::string_view type, const EnvelopeView& context, std::int64_t ts,
                  std::size_t dataSize, WriteData writeData, const ErrorKeys* error) {
  base::JsonObjectWriter out(dataSize + 256);
  writeData(out.member("data"));
  out.string("id", context.appId);
  if (error) out.string("imageUUID", error->imageUUID);
  out.string("platform", base::kPlatform)
      .string("release", context.release)
      .string("sdk", base::kSdkVersion)
      .string("sid", context.sessionId)
      .number("ts", ts)
      .string("type", type);
  if (error) out.string("userId", error->userId);
  out.string("vid", context.installId);
  return out.finish();
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

std::string envelope(std::string_view type, const EnvelopeView& context, std::int64_t ts,
                     std::string_view data) {
  return write(
      type, context, ts, data.size(), [data](std::string& out) { out += data; }, nullptr);
}

std::string errorEnvelope(const EnvelopeView& context, std::string_view userId,
                          std::string_view imageUUID, std::int64_t ts, std::string_view data) {
  const ErrorKeys error{userId, imageUUID};
  return write(
      base::kErrorType, context, ts, data.size(), [data](std::string& out) { out += data; },
      &error);
}

std::string errorReport(const EnvelopeView& context, std::string_view userId,
                        std::string_view imageUUID, std::int64_t ts, const ErrorFields& fields) {
  const ErrorKeys error{userId, imageUUID};
  return write(
      base::kErrorType, context, ts, errorDataSize(fields),
      [&fields](std::string& out) { appendErrorData(out, fields); }, &error);
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

}  // namespace quillstone::report
