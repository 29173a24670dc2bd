// Stack text from return addresses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillstone::crash {

// One line per address, "%-3d <image>   0x%016lx", the address made relative to `slide` when it
// is not below it; lines joined by "\n" with none after the last.
std::string formatStack(std::span<const std::uint64_t> addresses, std::uint64_t slide,
                        std::string_view imageName, std::string_view separator = "\n");

// formatStack with the main program's slide and name.
std::string normalize(std::span<const std::uint64_t> addresses);
// normalize's text as a JSON string (quoted and escaped), written without escaping it whole.
std::string normalizeAsJson(std::span<const std::uint64_t> addresses);

// Deep enough for any realistic host stack; backtrace cuts longer ones.
inline constexpr int kMaxFrames = 256;

// Return addresses held in place, so that a walk allocates nothing.
struct ReturnAddresses {
  std::array<std::uint64_t, kMaxFrames - 1> frames;
  std::size_t count = 0;

  operator std::span<const std::uint64_t>() const noexcept { return {frames.data(), count}; }
  const std::uint64_t* begin() const noexcept { return frames.data(); }
  const std::uint64_t* end() const noexcept { return frames.data() + count; }
  std::size_t size() const noexcept { return count; }
  bool empty() const noexcept { return count == 0; }
  std::uint64_t front() const noexcept { return frames[0]; }
  std::uint64_t operator[](std::size_t i) const noexcept { return frames[i]; }
};

// The calling thread's return addresses, innermost first: the frames backtrace() finds, without
// this function's own.
ReturnAddresses currentReturnAddresses();

// The frames of the code that threw the exception a terminate handler is handling, from the
// handler's stack (innermost first): those after `handlerReturn`, the handler's own return address
// into the runtime that called it, and after the runtime's frames that follow it (its terminate
// and throw machinery and the unwinder, told apart by the image they lie in). Found by position,
// as inlining changes how many frames the machinery has. All of `stack` when `handlerReturn` is
// not among them.
std::vector<std::uint64_t> throwingFrames(std::span<const std::uint64_t> stack,
                                          std::uint64_t handlerReturn);

}  // namespace quillstone::crash
