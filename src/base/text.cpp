#include "base/text.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace quillstone::base {
namespace {

constexpr utf8proc_int32_t kReplacementCharacter = 0xFFFD;
constexpr std::size_t kLongestSequence = 4;

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

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

std::size_t utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char lead = bytes[0];
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint32_t codePoint = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    codePoint = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    codePoint = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    codePoint = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((bytes[k] & 0xC0) != 0x80) return 0;
    codePoint = (codePoint << 6) | (bytes[k] & 0x3Fu);
  }
  const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  if (overlong || surrogate || codePoint > 0x10FFFF) return 0;
  return length;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    // Runs of ASCII are the common case; look at eight bytes at a time.
    if (text.size() - i >= sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if ((word & 0x8080808080808080u) == 0) {
        i += sizeof word;
        continue;
      }
    }
    const std::size_t length = utf8SequenceLength(text.substr(i));
    if (length == 0) return false;
    i += length;
  }
  return true;
}

std::string sanitizeUtf8(std::string_view text) {
  if (isValidUtf8(text)) return std::string(text);
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

std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  while (end > 0 && isContinuationByte(text[end])) --end;
  return text.substr(0, end);
}

std::string sanitizedPrefix(std::string_view text, std::size_t maxBytes) {
  // Every sequence that starts within the limit is whole in this window, so it is cleaned as
  // in the whole text; a replacement is never shorter than what it replaces, so nothing
  // starting past the limit could be kept. A text within the limit can still outgrow it.
  const std::size_t window = std::min(text.size(), maxBytes) + kLongestSequence - 1;
  std::string clean = sanitizeUtf8(text.substr(0, window));
  clean.resize(utf8Prefix(clean, maxBytes).size());
  return clean;
}

std::string_view sanitizedPrefix(std::string_view text, std::size_t maxBytes,
                                 std::string& storage) {
  if (text.size() <= maxBytes && isValidUtf8(text)) return text;
  storage = sanitizedPrefix(text, maxBytes);
  return storage;
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

}  // namespace quillstone::base
