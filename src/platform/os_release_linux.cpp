#include <sys/utsname.h>

#include <cstdlib>
#include <cstring>

#include "platform/os_release.hpp"

namespace quillstone::platform {
namespace {

// The buffer is zeroed first, so each field ends at a zero byte even if uname wrote nothing.
bool readUname(struct utsname& name) {
  std::memset(&name, 0, sizeof name);
  return ::uname(&name) == 0;
}

}  // namespace

std::string osVersion() {
  const char* simulated = std::getenv("SIMULATOR_RUNTIME_VERSION");
  if (simulated != nullptr && *simulated != '\0') return simulated;
  struct utsname name;
  return readUname(name) ? std::string(name.release) : std::string();
}

std::string hardwareMachine() {
  struct utsname name;
  return readUname(name) ? std::string(name.machine) : std::string();
}

}  // namespace quillstone::platform
