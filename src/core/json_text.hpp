// Compact JSON text written piece by piece, without building a tree first. Strings and numbers
// come out byte for byte as the JSON library writes them (with invalid UTF-8 replaced), so a
// report written here is the same text as the library's dump of the same report; writing the
// members of an object in sorted order, as the library does, is the caller's part.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quillstone::core {

// `text` as a quoted JSON string.
void appendJsonString(std::string& out, std::string_view text);

void appendJsonNumber(std::string& out, std::int64_t value);

// The shortest text that reads back as `value`, as the library writes it ("1.0", "19.99",
// "1e+20"). `value` must be finite: JSON has no text for the others.
void appendJsonNumber(std::string& out, double value);

// An object written member by member, in the order given. Keys are written as they are, so
// they must need no escaping.
class JsonObjectWriter {
 public:
  explicit JsonObjectWriter(std::size_t capacity = 128);

  JsonObjectWriter& string(std::string_view key, std::string_view value);
  JsonObjectWriter& number(std::string_view key, std::int64_t value);
  JsonObjectWriter& number(std::string_view key, double value);
  // A member whose value is JSON text already.
  JsonObjectWriter& raw(std::string_view key, std::string_view json);
  // Starts a member and returns the text, for a value the caller writes itself.
  std::string& member(std::string_view key);

  // The text, closed; the writer is spent.
  std::string finish();

 private:
  std::string out_;
  bool empty_ = true;
};

}  // namespace quillstone::core
