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

// The calling thread's return addresses (backtrace), innermost first.
std::vector<std::uint64_t> currentReturnAddresses();

}  // namespace quillstone::crash
