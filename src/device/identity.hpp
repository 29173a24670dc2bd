// Identity probes: device model, processor architecture, network path, integrity.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/environment.hpp"
#include "platform/kernel.hpp"
#include "platform/reachability.hpp"

namespace quillstone::device {

// The variable that names the model in place of the kernel's machine name.
inline constexpr std::string_view kModelVariable = "SIMULATOR_MODEL_IDENTIFIER";

// The simulator's model variable when it is set and not empty, else the kernel's machine name.
std::string machineId(const platform::Environment& environment, const platform::Kernel& kernel);

// The architecture this library was compiled for.
std::string cpuArch();

// "none" without the Reachable bit, else "cellular" with IsWWAN and "wifi" without it. No other
// bit counts: a wired link, or one that must first be established, is still "wifi".
std::string networkTypeForFlags(std::uint32_t flags);

// "" when the reachability flags cannot be read.
std::string networkType(const platform::Reachability& reachability);

// The integrity probes only report what they see; this one never sees anything.
bool isJailbroken();

}  // namespace quillstone::device
