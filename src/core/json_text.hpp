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

// `"key":` for a key that needs no escaping.
void appendJsonKey(std::string& out, std::string_view key);

void appendJsonNumber(std::string& out, std::int64_t value);

// The shortest text that reads back as `value`, as the library writes it ("1.0", "19.99",
// "1e+20"). `value` must be finite: JSON has no text for the others.
void appendJsonNumber(std::string& out, double value);

}  // namespace quillstone::core
