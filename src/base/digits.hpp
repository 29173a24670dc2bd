// Numbers as digits in a buffer of the caller's: no allocation, no locale, so the crash handler
// can use them as freely as ordinary code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillstone::base {

inline constexpr char kHexDigits[] = "0123456789abcdef";
inline constexpr std::size_t kMaxHexDigits = 16;
inline constexpr std::size_t kMaxDecimalDigits = 20;

// Async-signal-safe. Lowercase, without a prefix or leading zeros ("0" for zero); the text lives
// in `buffer`.
inline std::string_view hexDigits(std::uint64_t value, char (&buffer)[kMaxHexDigits]) noexcept {
  std::size_t at = kMaxHexDigits;
  do {
    buffer[--at] = kHexDigits[value & 0xF];
    value >>= 4;
  } while (value != 0);
  return {buffer + at, kMaxHexDigits - at};
}

// Async-signal-safe. Without leading zeros; the text lives in `buffer`.
inline std::string_view decimalDigits(std::uint64_t value,
                                      char (&buffer)[kMaxDecimalDigits]) noexcept {
  std::size_t at = kMaxDecimalDigits;
  do {
    buffer[--at] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return {buffer + at, kMaxDecimalDigits - at};
}

}  // namespace quillstone::base
