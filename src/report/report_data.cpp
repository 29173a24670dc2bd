#include "report/report_data.hpp"

#include <algorithm>

#include "base/input_limits.hpp"
#include "base/json_text.hpp"
#include "base/text.hpp"

namespace quillstone::report {
namespace {

constexpr std::string_view kErrorKind = "exception";
constexpr std::string_view kErrorLevel = "error";

bool isCleanProperty(std::string_view text) {
  return text.size() <= base::kMaxPropertyBytes && base::isValidUtf8(text);
}

// Host text, with invalid UTF-8 replaced and cut the way every other host text is.
void appendPropertyText(std::string& out, std::string_view text) {
  if (isCleanProperty(text)) {
    base::appendJsonString(out, text);
  } else {
    base::appendJsonString(out, base::sanitizedPrefix(text, base::kMaxPropertyBytes));
  }
}

// The first kMaxProperties in key order: the map's own order, so which ones go out depends on
// the keys alone.
template <typename Map>
void appendProperties(std::string& out, const Map& props) {
  out += '{';
  std::size_t written = 0;
  for (const auto& [key, text] : props) {
    if (written == base::kMaxProperties) break;
    if (written++ != 0) out += ',';
    appendPropertyText(out, key);
    out += ':';
    appendPropertyText(out, text);
  }
  out += '}';
}

void appendHostProperties(std::string& out, const std::optional<Properties>& props) {
  if (!props) {
    out += "{}";
    return;
  }
  const bool keysClean = std::all_of(
      props->begin(), props->end(), [](const auto& entry) { return isCleanProperty(entry.first); });
  if (keysClean) {
    appendProperties(out, *props);
    return;
  }
  // Cleaned and cut keys sort differently and two of them can become one; the later value wins.
  std::map<std::string, std::string_view> clean;
  for (const auto& [key, text] : *props) {
    clean[base::sanitizedPrefix(key, base::kMaxPropertyBytes)] = text;
  }
  appendProperties(out, clean);
}

}  // namespace

void appendEventData(std::string& out, const EventFields& fields) {
  base::JsonObjectWriter data(out);
  data.string("name", fields.name).string("path", fields.path);
  appendHostProperties(data.member("props"), fields.props);
  data.number("value", fields.value).close();
}

std::size_t eventDataSize(const EventFields& fields) {
  std::size_t size = fields.name.size() + fields.path.size() + 64;
  if (fields.props) {
    for (const auto& [key, text] : *fields.props) size += key.size() + text.size() + 6;
  }
  return size;
}

std::size_t errorDataSize(const ErrorFields& fields) {
  return fields.name.size() + fields.message.size() + fields.stack.size() +
         fields.stackJson.size() + fields.path.size() + fields.device.size() +
         fields.breadcrumbs.size() + fields.images.size() + 256;
}

void appendErrorData(std::string& out, const ErrorFields& fields) {
  base::JsonObjectWriter data(out);
  if (fields.appendBreadcrumbs) {
    fields.appendBreadcrumbs(data.member("breadcrumbs"));
  } else {
    data.raw("breadcrumbs", fields.breadcrumbs);
  }
  base::JsonObjectWriter extra(data.member("extra"));
  extra.raw("device", fields.device).close();
  if (!fields.images.empty()) data.raw("images", fields.images);
  data.string("kind", kErrorKind)
      .string("level", kErrorLevel)
      .string("message", fields.message)
      .string("name", fields.name)
      .string("path", fields.path);
  if (fields.stackJson.empty()) {
    data.string("stack", fields.stack);
  } else {
    data.raw("stack", fields.stackJson);
  }
  data.close();
}

std::string errorData(const ErrorFields& fields) {
  std::string out;
  out.reserve(errorDataSize(fields));
  appendErrorData(out, fields);
  return out;
}

std::string breadcrumbText(std::int64_t t, std::string_view type, std::string_view data) {
  std::string text;
  text.reserve(data.size() + type.size() + 48);
  text.append(kBreadcrumbTextStart).append(data);
  finishBreadcrumbText(text, t, type);
  return text;
}

void finishBreadcrumbText(std::string& out, std::int64_t t, std::string_view type) {
  // Members in the order the JSON library sorts them, so the text is its dump of the record.
  out += ",\"t\":";
  base::appendJsonNumber(out, t);
  out += ",\"type\":";
  base::appendJsonString(out, type);
  out += '}';
}

}  // namespace quillstone::report
