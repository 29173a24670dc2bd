// A breadcrumb's data is written straight from the host's text when it has the usual flat shape
// and parsed in full otherwise. Whatever the text, both ways must give the same verdict and, when
// kept, the same bytes: the text that every later error report and crash file carries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "report/breadcrumb_data.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillstone;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const report::BreadcrumbData parsed = report::parseBreadcrumbData(text);
  // Written after text already there, as a breadcrumb's record is.
  const std::string before = "{\"data\":";
  std::string written = before;
  const auto verdict = report::appendBreadcrumbData(written, text);
  if (verdict != parsed.verdict) std::abort();
  const std::string expected =
      parsed.verdict == report::BreadcrumbData::Verdict::kept ? before + parsed.text : before;
  if (written != expected) std::abort();
  return 0;
}
