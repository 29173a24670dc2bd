// Compact JSON text written piece by piece, without building a tree first. Strings and numbers
// come out byte for byte as the JSON library writes them (with invalid UTF-8 replaced), so a
// report written here is the same text as the library's dump of the same report; writing the
// members of an object in sorted order, as the library does, is the caller's part.
//
// There is one string escaper. Reports and crash files differ only in how broken UTF-8 is
// replaced and whether the text must fit a number of bytes, so those are its two settings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillstone::base {

// How a byte that is not part of well-formed UTF-8 is written.
enum class InvalidUtf8 {
  // As the JSON library's replacing dump does: one U+FFFD for each maximal start of a sequence
  // that cannot be completed (so "\xe4\xb8" is one replacement). What reports carry.
  likeJsonLibrary,
  // One U+FFFD for every such byte, as sanitizeUtf8 does. What crash files carry.
  eachByte,
};

// What escapeJsonInto did: the bytes written and the bytes of `text` they stand for.
struct EscapedLength {
  std::size_t written = 0;
  std::size_t consumed = 0;
};

// Writes `text` escaped for the inside of a JSON string (no quotes) into `out`, at most
// `capacity` bytes: double quote, backslash and control characters are escaped, broken UTF-8
// is replaced as `invalid` says. Stops before the first character whose escaped form does not
// fit, so the text is cut at a whole character and never inside an escape; `consumed` tells
// where. Allocates nothing, takes no lock and cannot throw: safe in a signal handler.
EscapedLength escapeJsonInto(std::string_view text, char* out, std::size_t capacity,
                             InvalidUtf8 invalid) noexcept;

// escapeJsonInto appended to `out`, with every character of `text` that fits in `maxBytes`.
void appendJsonEscaped(std::string& out, std::string_view text, InvalidUtf8 invalid,
                       std::size_t maxBytes = SIZE_MAX);

// `text` as a quoted JSON string, as the library writes it.
void appendJsonString(std::string& out, std::string_view text);

// `text` escaped for the inside of a JSON string, as a crash file holds it: invalid UTF-8
// becomes U+FFFD byte by byte. When the escaped text would exceed `maxBytes`, it is cut at the
// last whole character (never inside an escape) that fits.
std::string escapeJsonText(std::string_view text, std::size_t maxBytes = SIZE_MAX);

// How much of a host's text a console line shows.
constexpr std::size_t kMaxLoggedTextBytes = 256;

// `text` quoted and escaped as a JSON string, so that a console line stays one line whatever it
// holds, and cut at a whole character after kMaxLoggedTextBytes, then followed by "…", so that
// a huge text does not make a huge line.
void appendLoggedText(std::string& out, std::string_view text);

void appendJsonNumber(std::string& out, std::int64_t value);

// The shortest text that reads back as `value`, as the library writes it ("1.0", "19.99",
// "1e+20"). `value` must be finite: JSON has no text for the others.
void appendJsonNumber(std::string& out, double value);

// An object written member by member, in the order given. Keys are written as they are, so
// they must need no escaping.
class JsonObjectWriter {
 public:
  explicit JsonObjectWriter(std::size_t capacity = 128);
  // Writes the object at the end of `into`, for an object inside a larger text: close() ends
  // it there, where finish() would hand over a text of its own.
  explicit JsonObjectWriter(std::string& into);
  JsonObjectWriter(const JsonObjectWriter&) = delete;
  JsonObjectWriter& operator=(const JsonObjectWriter&) = delete;

  JsonObjectWriter& string(std::string_view key, std::string_view value);
  JsonObjectWriter& number(std::string_view key, std::int64_t value);
  JsonObjectWriter& number(std::string_view key, double value);
  // A member whose value is JSON text already.
  JsonObjectWriter& raw(std::string_view key, std::string_view json);
  // Starts a member and returns the text, for a value the caller writes itself.
  std::string& member(std::string_view key);

  // The text, closed; the writer is spent.
  std::string finish();
  // Ends the object written into another text.
  void close();

 private:
  std::string own_;
  std::string& out_;
  bool empty_ = true;
};

}  // namespace quillstone::base
