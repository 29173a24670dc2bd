// A breadcrumb's data is the host's text: any bytes must be kept or refused, never crash, and
// what is kept is exactly the compact text of a JSON object within the limits. The usual flat
// shape is written straight from the text and anything else is parsed in full: whatever the
// text, both ways must give the same verdict and, when kept, the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/input_limits.hpp"
#include "base/text.hpp"
#include "report/breadcrumb_data.hpp"

using quillstone::report::BreadcrumbData;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const BreadcrumbData parsed = quillstone::report::parseBreadcrumbData(text);
  // Written after text already there, as a breadcrumb's record is.
  const std::string before = "{\"data\":";
  std::string written = before;
  const auto verdict = quillstone::report::appendBreadcrumbData(written, text);
  if (verdict != parsed.verdict) std::abort();
  const bool kept = parsed.verdict == BreadcrumbData::Verdict::kept;
  if (written != (kept ? before + parsed.text : before)) std::abort();
  if (!kept) return 0;
  if (!parsed.object.is_object()) std::abort();
  if (parsed.text.size() > quillstone::base::kMaxBreadcrumbDataBytes) std::abort();
  if (!quillstone::base::isValidUtf8(parsed.text)) std::abort();
  // The kept text reads back as the kept object and is its compact form.
  const auto reread = nlohmann::json::parse(parsed.text, nullptr, /*allow_exceptions=*/false);
  if (reread != parsed.object || reread.dump() != parsed.text) std::abort();
  return 0;
}
