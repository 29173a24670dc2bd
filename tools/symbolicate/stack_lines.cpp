#include "stack_lines.hpp"

#include <charconv>

namespace quillstone::symbolicate {
namespace {

constexpr std::string_view kAddressGap = "   0x";
constexpr std::size_t kMaxHexDigits = 16;
constexpr std::size_t kFormattedHexDigits = 16;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isHexDigit(char c) { return isDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::string_view trimEnd(std::string_view text) {
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::optional<FrameLine> parseFrameLine(std::string_view line) {
  line = trimEnd(line);
  std::size_t at = 0;
  while (at < line.size() && isDigit(line[at])) ++at;
  if (at == 0) return std::nullopt;
  FrameLine frame;
  const auto index = std::from_chars(line.data(), line.data() + at, frame.index);
  if (index.ec != std::errc()) return std::nullopt;

  const std::size_t nameStart = line.find_first_not_of(' ', at);
  if (nameStart == at || nameStart == std::string_view::npos) return std::nullopt;
  // The image name may itself hold spaces; the address is whatever follows the last gap.
  const std::size_t gap = line.rfind(kAddressGap);
  if (gap == std::string_view::npos || gap < nameStart) return std::nullopt;
  frame.image = std::string(line.substr(nameStart, gap - nameStart));
  if (frame.image.empty()) return std::nullopt;

  const std::string_view digits = line.substr(gap + kAddressGap.size());
  if (digits.empty() || digits.size() > kMaxHexDigits) return std::nullopt;
  for (const char c : digits) {
    if (!isHexDigit(c)) return std::nullopt;
  }
  const auto address =
      std::from_chars(digits.data(), digits.data() + digits.size(), frame.address, 16);
  if (address.ec != std::errc()) return std::nullopt;
  frame.addressText = std::string(line.substr(gap + kAddressGap.size() - 2));
  // Sixteen digits only when padded: no user-space address needs all sixteen otherwise.
  frame.fromCrashHandler = digits.size() != kFormattedHexDigits || frame.image == kUnknownImage;
  return frame;
}

std::vector<std::string_view> splitStackLines(std::string_view stack) {
  std::vector<std::string_view> lines;
  while (!stack.empty()) {
    const std::size_t end = stack.find('\n');
    if (end == std::string_view::npos) {
      lines.push_back(stack);
      break;
    }
    lines.push_back(stack.substr(0, end));
    stack.remove_prefix(end + 1);
  }
  return lines;
}

}  // namespace quillstone::symbolicate
