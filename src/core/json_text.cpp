#include "core/json_text.hpp"

#include <array>
#include <charconv>
#include <cstring>

#include <nlohmann/json.hpp>

#include "core/text.hpp"

namespace quillstone::core {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// True when one of the eight bytes of `word` needs more than copying: a control character, a
// quote, a backslash, or a byte of a multi-byte sequence (which must be checked).
bool hasSpecialByte(std::uint64_t word) {
  const auto hasZeroByte = [](std::uint64_t v) { return (v - kEveryByte) & ~v & kHighBits; };
  const std::uint64_t belowSpace = (word - kEveryByte * 0x20) & ~word & kHighBits;
  return (belowSpace | hasZeroByte(word ^ (kEveryByte * '"')) |
          hasZeroByte(word ^ (kEveryByte * '\\')) | (word & kHighBits)) != 0;
}

void appendEscape(std::string& out, unsigned char c) {
  switch (c) {
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    case '\b':
      out += "\\b";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\r':
      out += "\\r";
      return;
    default: {
      const char escape[] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
      out.append(escape, sizeof escape);
    }
  }
}

// Writes `text` escaped, without quotes; false, with `out` unfinished, at the first byte that
// is not part of well-formed UTF-8.
bool appendEscaped(std::string& out, std::string_view text) {
  const char* data = text.data();
  const std::size_t size = text.size();
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < size) {
    if (size - i >= sizeof(std::uint64_t)) {
      std::uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if (!hasSpecialByte(word)) {
        i += sizeof word;
        continue;
      }
    }
    const auto c = static_cast<unsigned char>(data[i]);
    if (c >= 0x80) {
      const std::size_t length = utf8SequenceLength(text.substr(i));
      if (length == 0) return false;
      i += length;
    } else if (c < 0x20 || c == '"' || c == '\\') {
      out.append(data + runStart, i - runStart);
      appendEscape(out, c);
      runStart = ++i;
    } else {
      ++i;
    }
  }
  out.append(data + runStart, size - runStart);
  return true;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  const std::size_t start = out.size();
  out.reserve(start + text.size() + 2);
  out += '"';
  if (appendEscaped(out, text)) {
    out += '"';
    return;
  }
  // Rare (host text is cleaned on the way in): let the library write it, so the replacement of
  // each broken sequence is exactly its own.
  out.resize(start);
  out += nlohmann::json(std::string(text))
             .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void appendJsonNumber(std::string& out, std::int64_t value) {
  std::array<char, 24> digits{};
  const auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), result.ptr);
}

void appendJsonNumber(std::string& out, double value) {
  // The library's own shortest-form writer, so "1.0" stays "1.0" and exponents look the same.
  std::array<char, 64> digits{};
  char* end = nlohmann::detail::to_chars(digits.data(), digits.data() + digits.size(), value);
  out.append(digits.data(), end);
}

JsonObjectWriter::JsonObjectWriter(std::size_t capacity) {
  out_.reserve(capacity);
  out_ += '{';
}

std::string& JsonObjectWriter::member(std::string_view key) {
  if (!empty_) out_ += ',';
  empty_ = false;
  out_ += '"';
  out_ += key;
  out_ += "\":";
  return out_;
}

JsonObjectWriter& JsonObjectWriter::string(std::string_view key, std::string_view value) {
  appendJsonString(member(key), value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::number(std::string_view key, std::int64_t value) {
  appendJsonNumber(member(key), value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::number(std::string_view key, double value) {
  appendJsonNumber(member(key), value);
  return *this;
}

JsonObjectWriter& JsonObjectWriter::raw(std::string_view key, std::string_view json) {
  member(key) += json;
  return *this;
}

std::string JsonObjectWriter::finish() {
  out_ += '}';
  return std::move(out_);
}

}  // namespace quillstone::core
