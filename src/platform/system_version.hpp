// The operating system's version text, as a device object would report it.
#pragma once

#include <string>
#include <string_view>

#include "platform/environment.hpp"
#include "platform/kernel.hpp"

namespace quillstone::platform {

// The variable that names the system's version in place of the kernel release.
inline constexpr std::string_view kRuntimeVersionVariable = "SIMULATOR_RUNTIME_VERSION";

// SIMULATOR_RUNTIME_VERSION when it is set and not empty, else the kernel release.
std::string systemVersion(const Environment& environment, const Kernel& kernel);

}  // namespace quillstone::platform
