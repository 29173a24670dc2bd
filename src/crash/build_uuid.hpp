// The main program's build UUID.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillstone::crash {

// The first 16 bytes of a build-id as upper-case 8-4-4-4-12 text; "" when it is shorter.
std::string formatBuildUuid(std::span<const std::uint8_t> buildId);

// The main program's build UUID from its GNU build-id note, "" without one.
std::string imageUUID();

}  // namespace quillstone::crash
