// The attribution server's reply is untrusted: any bytes must give an answer, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "attribution/response_parser.hpp"

using quillstone::attribution::ParsedResponse;
using quillstone::attribution::parseResponse;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedResponse result = parseResponse(text);
  // Anything that is not a JSON object is the empty answer.
  const auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!json.is_object() && !(result == ParsedResponse{})) std::abort();
  // Parsing depends on the text alone.
  if (!(parseResponse(text) == result)) std::abort();
  return 0;
}
