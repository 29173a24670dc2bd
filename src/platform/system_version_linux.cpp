#include "platform/system_version.hpp"

namespace quillstone::platform {
namespace {

constexpr const char* kRuntimeVersionVariable = "SIMULATOR_RUNTIME_VERSION";

}  // namespace

std::string systemVersion(const Environment& environment, const Kernel& kernel) {
  if (auto version = environment.value(kRuntimeVersionVariable); version && !version->empty()) {
    return *version;
  }
  return kernel.names().release;
}

}  // namespace quillstone::platform
