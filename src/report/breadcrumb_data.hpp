// A breadcrumb's data as the host hands it in: the text of a JSON object, parsed and judged
// here, so that the client only keeps what passed.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace quillstone::report {

struct BreadcrumbData {
  enum class Verdict {
    kept,
    // Not the text of a JSON object: a host's mistake, worth a console line.
    notAnObject,
    // Beyond a limit of base/input_limits.hpp (length, depth, compact size), or holding a
    // number JSON cannot write: refused without a word, as a too large breadcrumb always was.
    overLimit,
  };
  Verdict verdict = Verdict::notAnObject;
  // When kept: the object, with clean UTF-8, and its compact JSON text.
  nlohmann::json object;
  std::string text;
};

// Parses `text`, the data of a breadcrumb; empty text is the empty object. Invalid UTF-8 becomes
// U+FFFD byte by byte first, as in every other text of the host's. Parsing takes no stack in
// proportion to the text: the parser keeps its nesting on the heap, and nesting beyond
// kMaxBreadcrumbDepth is refused before anything recurses over the value.
BreadcrumbData parseBreadcrumbData(std::string_view text);

// Appends to `out` the compact text that parseBreadcrumbData makes of `text` and returns its
// verdict; `out` grows only when the verdict is kept. The usual data, a flat object of strings
// without escapes, numbers, true, false and null, is written straight from the text without
// building a value; anything else is parsed in full.
BreadcrumbData::Verdict appendBreadcrumbData(std::string& out, std::string_view text);

}  // namespace quillstone::report
