#include "platform/os_release.hpp"

#include "platform/kernel.hpp"
#include "platform/system_version.hpp"

namespace quillstone::platform {

// One source for the version and machine texts, so every report names the system alike.
std::string osVersion() { return systemVersion(); }

std::string hardwareMachine() { return systemKernel().names().machine; }

}  // namespace quillstone::platform
