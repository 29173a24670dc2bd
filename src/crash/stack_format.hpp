// Stack text from return addresses.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillstone::crash {

// One line per address, "%-3d <image>   0x%016lx", the address made relative to `slide` when it
// is not below it; lines joined by "\n" with none after the last.
std::string formatStack(std::span<const std::uint64_t> addresses, std::uint64_t slide,
                        std::string_view imageName);

// formatStack with the main program's slide and name.
std::string normalize(std::span<const std::uint64_t> addresses);

// The calling thread's return addresses, innermost first: the frames backtrace() finds, without
// this function's own.
std::vector<std::uint64_t> currentReturnAddresses();

// The frames of the code that threw the exception a terminate handler is handling, from the
// handler's stack (innermost first): those after `handlerReturn`, the handler's own return address
// into the runtime that called it, and after the runtime's frames that follow it (its terminate
// and throw machinery and the unwinder, told apart by the image they lie in). Found by position,
// as inlining changes how many frames the machinery has. All of `stack` when `handlerReturn` is
// not among them.
std::vector<std::uint64_t> throwingFrames(std::span<const std::uint64_t> stack,
                                          std::uint64_t handlerReturn);

}  // namespace quillstone::crash
