#include "attribution/response_parser.hpp"

#include <cmath>
#include <cstdint>

#include <nlohmann/json.hpp>

namespace quillstone::attribution {
namespace {

using nlohmann::json;

// A real answer is a few levels deep. Deeper text is refused before it is parsed, because
// describing a nested value walks it recursively and could exhaust the stack.
constexpr int kMaxNesting = 64;
// Integral floating-point values up to here are written without a fraction, as integers are.
constexpr double kLargestPlainIntegral = 1e15;

bool nestsTooDeeply(std::string_view text) {
  int depth = 0;
  bool inString = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kMaxNesting) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

std::string numberText(const json& value) {
  if (value.is_number_float()) {
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number &&
        std::fabs(number) < kLargestPlainIntegral) {
      return std::to_string(static_cast<std::int64_t>(number));
    }
  }
  return value.dump();
}

// Strings stay as they are; Booleans read as the digits the server's other clients see.
std::string paramText(const json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "1" : "0";
  if (value.is_number()) return numberText(value);
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool matchedFlag(const json& object) {
  const auto it = object.find("matched");
  if (it == object.end()) return false;
  if (it->is_boolean()) return it->get<bool>();
  if (it->is_number()) return it->get<double>() == 1.0;
  return false;
}

std::string stringMember(const json& object, const char* key, std::string fallback) {
  const auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return fallback;
  return it->get<std::string>();
}

ParsedResponse parseObject(const json& root) {
  ParsedResponse result;
  result.matched = matchedFlag(root);
  if (const auto channel = root.find("channel"); channel != root.end() && channel->is_object()) {
    result.channel = stringMember(*channel, "code", "");
    result.channelName = stringMember(*channel, "name", "");
  }
  result.method = stringMember(root, "method", "none");
  if (const auto params = root.find("params"); params != root.end() && params->is_object()) {
    for (const auto& [key, value] : params->items()) result.params[key] = paramText(value);
  }
  return result;
}

}  // namespace

ParsedResponse parseResponse(std::string_view text) noexcept {
  try {
    if (nestsTooDeeply(text)) return {};
    const json root = json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (!root.is_object()) return {};
    return parseObject(root);
  } catch (...) {
    return {};
  }
}

}  // namespace quillstone::attribution
