#include "base/json_text.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>

#include <nlohmann/json.hpp>

#include "base/text.hpp"

namespace quillstone::base {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr std::uint64_t kEveryByte = 0x0101010101010101u;
constexpr std::uint64_t kHighBits = 0x8080808080808080u;
constexpr char kReplacement[] = {'\xEF', '\xBF', '\xBD'};  // U+FFFD
// The longest piece one character becomes: "\u00XX".
constexpr std::size_t kLongestPiece = 6;

// True when one of the eight bytes of `word` needs more than copying: a control character, a
// quote, a backslash, or a byte of a multi-byte sequence (which must be checked).
bool hasSpecialByte(std::uint64_t word) noexcept {
  const auto hasZeroByte = [](std::uint64_t v) { return (v - kEveryByte) & ~v & kHighBits; };
  const std::uint64_t belowSpace = (word - kEveryByte * 0x20) & ~word & kHighBits;
  return (belowSpace | hasZeroByte(word ^ (kEveryByte * '"')) |
          hasZeroByte(word ^ (kEveryByte * '\\')) | (word & kHighBits)) != 0;
}

bool needsEscape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

// Writes the escape of a byte that cannot stand for itself; returns its length.
std::size_t escapeOf(unsigned char c, char (&escape)[kLongestPiece]) noexcept {
  char shortForm = 0;
  switch (c) {
    case '"':
      shortForm = '"';
      break;
    case '\\':
      shortForm = '\\';
      break;
    case '\b':
      shortForm = 'b';
      break;
    case '\t':
      shortForm = 't';
      break;
    case '\n':
      shortForm = 'n';
      break;
    case '\f':
      shortForm = 'f';
      break;
    case '\r':
      shortForm = 'r';
      break;
    default:
      break;
  }
  escape[0] = '\\';
  if (shortForm != 0) {
    escape[1] = shortForm;
    return 2;
  }
  escape[1] = 'u';
  escape[2] = '0';
  escape[3] = '0';
  escape[4] = kHexDigits[c >> 4];
  escape[5] = kHexDigits[c & 0xF];
  return kLongestPiece;
}

// The bytes at the front of `text` that start a well-formed sequence but break off before its
// end, at least one: the library replaces them together, with one U+FFFD.
std::size_t brokenSequenceLength(std::string_view text) noexcept {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // no overlong forms
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 1;
  }
  std::size_t matched = 1;
  while (matched < length && matched < text.size() && bytes[matched] >= low &&
         bytes[matched] <= high) {
    ++matched;
    low = 0x80;
    high = 0xBF;
  }
  return matched;
}

// Copies text[from, to) to out[written...] as far as it fits; the text there is copied as it
// is, so a cut must fall between characters. False when it had to be cut.
bool copyRun(std::string_view text, std::size_t from, std::size_t to, char* out,
             std::size_t capacity, EscapedLength& done) noexcept {
  std::size_t length = to - from;
  const bool fits = length <= capacity - done.written;
  if (!fits) {
    length = capacity - done.written;
    // Back to the start of the character the room ends in.
    while (length > 0 && (static_cast<unsigned char>(text[from + length]) & 0xC0) == 0x80) {
      --length;
    }
  }
  std::memcpy(out + done.written, text.data() + from, length);
  done.written += length;
  done.consumed = from + length;
  return fits;
}

bool writePiece(const char* piece, std::size_t length, char* out, std::size_t capacity,
                EscapedLength& done) noexcept {
  if (length > capacity - done.written) return false;
  std::memcpy(out + done.written, piece, length);
  done.written += length;
  return true;
}

}  // namespace

EscapedLength escapeJsonInto(std::string_view text, char* out, std::size_t capacity,
                             InvalidUtf8 invalid) noexcept {
  const char* data = text.data();
  const std::size_t size = text.size();
  EscapedLength done;
  // Bytes that stand for themselves are copied in runs, not one by one.
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < size) {
    // Runs of plain ASCII are the common case; look at eight bytes at a time.
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
      if (length != 0) {
        i += length;
        continue;
      }
      if (!copyRun(text, runStart, i, out, capacity, done)) return done;
      if (!writePiece(kReplacement, sizeof kReplacement, out, capacity, done)) return done;
      i += invalid == InvalidUtf8::eachByte ? 1 : brokenSequenceLength(text.substr(i));
      done.consumed = runStart = i;
    } else if (needsEscape(c)) {
      if (!copyRun(text, runStart, i, out, capacity, done)) return done;
      char escape[kLongestPiece];
      if (!writePiece(escape, escapeOf(c, escape), out, capacity, done)) return done;
      done.consumed = runStart = ++i;
    } else {
      ++i;
    }
  }
  copyRun(text, runStart, size, out, capacity, done);
  return done;
}

void appendJsonEscaped(std::string& out, std::string_view text, InvalidUtf8 invalid,
                       std::size_t maxBytes) {
  // Most text needs no escaping: room for it as it is first, more only when escapes need it.
  std::size_t room = std::min(text.size(), maxBytes);
  while (true) {
    const std::size_t start = out.size();
    out.resize(start + room);
    const EscapedLength done = escapeJsonInto(text, out.data() + start, room, invalid);
    out.resize(start + done.written);
    text.remove_prefix(done.consumed);
    const bool budgetReached = room == maxBytes;
    maxBytes -= done.written;
    if (text.empty() || budgetReached) return;
    room = std::min(maxBytes, std::max(kLongestPiece, 2 * text.size()));
  }
}

void appendJsonString(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  appendJsonEscaped(out, text, InvalidUtf8::likeJsonLibrary);
  out += '"';
}

void appendLoggedText(std::string& out, std::string_view text) {
  char escaped[kMaxLoggedTextBytes];
  const auto length = escapeJsonInto(text, escaped, sizeof escaped, InvalidUtf8::likeJsonLibrary);
  out += '"';
  out.append(escaped, length.written);
  out += '"';
  if (length.consumed < text.size()) out += "…";
}

std::string escapeJsonText(std::string_view text, std::size_t maxBytes) {
  std::string escaped;
  appendJsonEscaped(escaped, text, InvalidUtf8::eachByte, maxBytes);
  return escaped;
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

JsonObjectWriter::JsonObjectWriter(std::size_t capacity) : out_(own_) {
  own_.reserve(capacity);
  own_ += '{';
}

JsonObjectWriter::JsonObjectWriter(std::string& into) : out_(into) { out_ += '{'; }

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

void JsonObjectWriter::close() { out_ += '}'; }

}  // namespace quillstone::base
