// The main program's build UUID.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillstone::crash {

// The first 16 bytes of a build-id as upper-case 8-4-4-4-12 text; "" when it is shorter.
std::string formatBuildUuid(std::span<const std::uint8_t> buildId);

// The main program's build UUID from its GNU build-id note, "" without one. Read once: the main
// program never changes while it runs.
const std::string& imageUUID();

// Logged once when the main program has no build-id: none of its stacks can be symbolicated.
constexpr std::string_view kLogNoBuildId = "[qs] 主程序没有 build-id,堆栈无法符号化";

}  // namespace quillstone::crash
