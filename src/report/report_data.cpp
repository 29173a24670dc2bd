#include "report/report_data.hpp"

#include <algorithm>

#include "base/json_text.hpp"
#include "base/text.hpp"

namespace quillstone::report {
namespace {

constexpr std::string_view kErrorKind = "exception";
constexpr std::string_view kErrorLevel = "error";

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
  base::JsonObjectWriter data(fields.breadcrumbs.size() + fields.stack.size() + extra.size() +
                              fields.images.size() + 256);
  data.raw("breadcrumbs", fields.breadcrumbs).raw("extra", extra);
  if (!fields.images.empty()) data.raw("images", fields.images);
  return data.string("kind", kErrorKind)
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

}  // namespace quillstone::report
