// Reading the stack text of a report: one frame per line, in either of the two shapes the
// library writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillstone::symbolicate {

// The image name the crash handler writes for an address outside the main program.
constexpr std::string_view kUnknownImage = "???";

struct FrameLine {
  std::uint64_t index = 0;
  std::string image;          // as written; kUnknownImage for a foreign address
  std::uint64_t address = 0;  // relative to the main program's load bias when in it
  std::string addressText;    // "0x…" exactly as written
  // The handler's lines print the address without leading zeros; the formatted stacks of
  // exception and handled-error reports always use sixteen digits.
  bool fromCrashHandler = false;
};

// One line of stack text, or nullopt when it is not a frame line. Accepts both
//   "0   app   0x1a2b"                 (crash handler: index, three spaces, …)
//   "12  app   0x0000000000001a2b"     (formatted stacks: index padded to three, one space, …)
// Trailing white space, such as a carriage return, is ignored.
std::optional<FrameLine> parseFrameLine(std::string_view line);

// Splits stack text at line feeds. A trailing line feed ends the last line rather than starting
// an empty one, so the crash handler's text (every line ends with one) and the formatted text
// (no line feed after the last line) split alike.
std::vector<std::string_view> splitStackLines(std::string_view stack);

}  // namespace quillstone::symbolicate
