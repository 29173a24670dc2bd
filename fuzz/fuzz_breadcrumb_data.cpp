// A breadcrumb's data is the host's text: any bytes must be kept or refused, never crash, and
// what is kept is exactly the compact text of a JSON object within the limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/input_limits.hpp"
#include "base/text.hpp"
#include "report/breadcrumb_data.hpp"

using quillstone::report::BreadcrumbData;
using quillstone::report::parseBreadcrumbData;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const BreadcrumbData parsed = parseBreadcrumbData(text);
  if (parsed.verdict != BreadcrumbData::Verdict::kept) return 0;
  if (!parsed.object.is_object()) std::abort();
  if (parsed.text.size() > quillstone::base::kMaxBreadcrumbDataBytes) std::abort();
  if (!quillstone::base::isValidUtf8(parsed.text)) std::abort();
  // The kept text reads back as the kept object and is its compact form.
  const auto reread = nlohmann::json::parse(parsed.text, nullptr, /*allow_exceptions=*/false);
  if (reread != parsed.object || reread.dump() != parsed.text) std::abort();
  return 0;
}
