// The operating system's version and the machine's hardware name.
#pragma once

#include <string>

namespace quillstone::platform {

// SIMULATOR_RUNTIME_VERSION when set and not empty, else the kernel release (uname -r).
std::string osVersion();

// The hardware name from uname ("x86_64"); "" when uname fails.
std::string hardwareMachine();

}  // namespace quillstone::platform
