#include "core/text.hpp"

#include <utf8proc.h>

namespace quillstone::core {
namespace {

constexpr utf8proc_int32_t kReplacementCharacter = 0xFFFD;

struct Decoded {
  utf8proc_int32_t codePoint;  // -1 for an invalid sequence
  std::size_t length;          // bytes consumed, at least 1
};

Decoded decodeAt(std::string_view text, std::size_t offset) {
  utf8proc_int32_t codePoint = -1;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data() + offset);
  const utf8proc_ssize_t length =
      utf8proc_iterate(bytes, static_cast<utf8proc_ssize_t>(text.size() - offset), &codePoint);
  if (length <= 0) return {-1, 1};
  return {codePoint, static_cast<std::size_t>(length)};
}

// Decodes the code point that ends at `end`, or -1.
Decoded decodeBefore(std::string_view text, std::size_t end) {
  for (std::size_t length = 1; length <= 4 && length <= end; ++length) {
    const Decoded decoded = decodeAt(text, end - length);
    if (decoded.codePoint >= 0 && decoded.length == length) return decoded;
  }
  return {-1, 1};
}

bool isSpaceSeparatorOrTab(utf8proc_int32_t c) {
  return c == '\t' || (c >= 0 && utf8proc_category(c) == UTF8PROC_CATEGORY_ZS);
}

bool isWhitespaceOrLineBreak(utf8proc_int32_t c) {
  if (c < 0) return false;
  if ((c >= 0x09 && c <= 0x0D) || c == 0x85) return true;
  const auto category = utf8proc_category(c);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

}  // namespace

std::string sanitizeUtf8(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (std::size_t offset = 0; offset < text.size();) {
    const Decoded decoded = decodeAt(text, offset);
    if (decoded.codePoint >= 0) {
      clean.append(text.substr(offset, decoded.length));
    } else {
      utf8proc_uint8_t encoded[4];
      const auto length = utf8proc_encode_char(kReplacementCharacter, encoded);
      clean.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
    }
    offset += decoded.length;
  }
  return clean;
}

std::string_view trimSpaceSeparators(std::string_view text) {
  std::size_t begin = 0;
  while (begin < text.size()) {
    const Decoded decoded = decodeAt(text, begin);
    if (!isSpaceSeparatorOrTab(decoded.codePoint)) break;
    begin += decoded.length;
  }
  std::size_t end = text.size();
  while (end > begin) {
    const Decoded decoded = decodeBefore(text, end);
    if (!isSpaceSeparatorOrTab(decoded.codePoint)) break;
    end -= decoded.length;
  }
  return text.substr(begin, end - begin);
}

bool isBlank(std::string_view text) {
  for (std::size_t offset = 0; offset < text.size();) {
    const Decoded decoded = decodeAt(text, offset);
    if (!isWhitespaceOrLineBreak(decoded.codePoint)) return false;
    offset += decoded.length;
  }
  return true;
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
  if (count == 0) return {};
  utf8proc_int32_t state = 0;
  utf8proc_int32_t previous = -1;
  std::size_t clusters = 0;
  for (std::size_t offset = 0; offset < text.size();) {
    const Decoded decoded = decodeAt(text, offset);
    const bool startsCluster =
        previous < 0 || decoded.codePoint < 0 ||
        utf8proc_grapheme_break_stateful(previous, decoded.codePoint, &state);
    if (startsCluster && ++clusters > count) return std::string(text.substr(0, offset));
    previous = decoded.codePoint;
    offset += decoded.length;
  }
  return std::string(text);
}

}  // namespace quillstone::core
