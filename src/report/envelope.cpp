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

// The members of an envelope around "ts", rendered for the last context one thread wrote: a
// thread's reports mostly share them, and escaping them again was much of a report's cost.
// Events and errors are kept apart, so a thread that sends both renders neither again.
struct RenderedMembers {
  std::string type;
  std::string appId;
  std::string release;
  std::string sessionId;
  std::string installId;
  std::string userId;     // errors only
  std::string imageUUID;  // errors only
  std::string beforeTs;   // from "id" to "sid", each member preceded by its comma
  std::string afterTs;    // from "type" to the end of the object
  bool filled = false;

  bool renders(std::string_view aType, const EnvelopeView& context, const ErrorKeys* error) const {
    return filled && type == aType && appId == context.appId && release == context.release &&
           sessionId == context.sessionId && installId == context.installId &&
           (error == nullptr || (userId == error->userId && imageUUID == error->imageUUID));
  }
};

const RenderedMembers& renderedMembers(std::string_view type, const EnvelopeView& context,
                                       const ErrorKeys* error) {
  thread_local RenderedMembers lastEvent;
  thread_local RenderedMembers lastError;
  RenderedMembers& last = error ? lastError : lastEvent;
  if (last.renders(type, context, error)) return last;
  last.filled = false;
  last.type = type;
  last.appId = context.appId;
  last.release = context.release;
  last.sessionId = context.sessionId;
  last.installId = context.installId;
  last.userId = error ? error->userId : std::string_view();
  last.imageUUID = error ? error->imageUUID : std::string_view();
  const auto add = [](std::string& out, std::string_view key, std::string_view value) {
    out += ",\"";
    out += key;
    out += "\":";
    base::appendJsonString(out, value);
  };
  // In sorted order, as reports have always been written.
  last.beforeTs.clear();
  add(last.beforeTs, "id", context.appId);
  if (error) add(last.beforeTs, "imageUUID", error->imageUUID);
  add(last.beforeTs, "platform", base::kPlatform);
  add(last.beforeTs, "release", context.release);
  add(last.beforeTs, "sdk", base::kSdkVersion);
  add(last.beforeTs, "sid", context.sessionId);
  last.afterTs.clear();
  add(last.afterTs, "type", type);
  if (error) add(last.afterTs, "userId", error->userId);
  add(last.afterTs, "vid", context.installId);
  last.afterTs += '}';
  last.filled = true;
  return last;
}

// A thread's reports are written in its scratch text and copied out at their exact size: the
// copy is a report's one allocation, and a report that waits holds no room it does not use. A
// scratch text grown beyond this by an unusually large report is let go afterwards.
constexpr std::size_t kKeptScratchBytes = 64 * 1024;

std::string copiedOut(std::string& scratch) {
  std::string text(scratch);
  if (scratch.capacity() > kKeptScratchBytes) std::string().swap(scratch);
  return text;
}

// Members in sorted order, as reports have always been written. `writeData` appends the text of
// "data", about `dataSize` bytes, to the string it is given.
template <class WriteData>
std::string write(std::string_view type, const EnvelopeView& context, std::int64_t ts,
                  std::size_t dataSize, WriteData writeData, const ErrorKeys* error) {
  thread_local std::string scratch;
  scratch.clear();
  const RenderedMembers& members = renderedMembers(type, context, error);
  scratch.reserve(dataSize + members.beforeTs.size() + members.afterTs.size() + 32);
  scratch += "{\"data\":";
  writeData(scratch);
  scratch += members.beforeTs;
  scratch += ",\"ts\":";
  base::appendJsonNumber(scratch, ts);
  scratch += members.afterTs;
  return copiedOut(scratch);
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

std::string eventReport(std::string_view type, const EnvelopeView& context, std::int64_t ts,
                        const EventFields& fields) {
  return write(
      type, context, ts, eventDataSize(fields),
      [&fields](std::string& out) { appendEventData(out, fields); }, nullptr);
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
