// Random identifiers.
#pragma once

#include <string>

namespace quillstone::platform {

// A new random (version 4) UUID: 36 characters, upper-case hexadecimal in groups 8-4-4-4-12.
std::string newUuid();

}  // namespace quillstone::platform
