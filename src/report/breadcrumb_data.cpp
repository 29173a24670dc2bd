#include "report/breadcrumb_data.hpp"

#include "base/input_limits.hpp"
#include "base/text.hpp"
#include "report/envelope.hpp"

namespace quillstone::report {
namespace {

using Verdict = BreadcrumbData::Verdict;

}  // namespace

BreadcrumbData parseBreadcrumbData(std::string_view text) {
  BreadcrumbData data;
  if (text.size() > base::kMaxBreadcrumbTextBytes) {
    data.verdict = Verdict::overLimit;
    return data;
  }
  if (text.empty()) {
    data.object = nlohmann::json::object();
  } else {
    const std::string clean = base::sanitizeUtf8(text);
    bool tooDeep = false;
    // The callback sees each object and array as it opens, at the depth of its parent; one
    // too deep is discarded whole, so no deeper level is ever built.
    const auto limitDepth = [&](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
      using Event = nlohmann::json::parse_event_t;
      if (event != Event::object_start && event != Event::array_start) return true;
      if (depth < base::kMaxBreadcrumbDepth) return true;
      tooDeep = true;
      return false;
    };
    data.object = nlohmann::json::parse(clean, limitDepth, /*allow_exceptions=*/false);
    if (!data.object.is_object()) return data;
    if (tooDeep) {
      data.verdict = Verdict::overLimit;
      return data;
    }
  }
  // Measured as it is sent, and the text is the record's own: written once, it is what every
  // later error report carries.
  auto compact = serialize(data.object);
  if (!compact || compact->size() > base::kMaxBreadcrumbDataBytes) {
    data.verdict = Verdict::overLimit;
    return data;
  }
  data.text = std::move(*compact);
  data.verdict = Verdict::kept;
  return data;
}

}  // namespace quillstone::report
