#include "platform/system_version.hpp"

namespace quillstone::platform {
std::string systemVersion(const Environment& environment, const Kernel& kernel) {
  static const std::string variable(kRuntimeVersionVariable);
  if (auto version = environment.value(variable); version && !version->empty()) {
    return *version;
  }
  return kernel.names().release;
}

}  // namespace quillstone::platform
