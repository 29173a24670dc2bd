#include "device/identity.hpp"

namespace quillstone::device {
namespace {

#if defined(__x86_64__)
constexpr const char* kCpuArch = "x86_64";
#elif defined(__aarch64__)
constexpr const char* kCpuArch = "arm64";
#elif defined(__i386__)
constexpr const char* kCpuArch = "i386";
#elif defined(__arm__)
constexpr const char* kCpuArch = "armv7";
#else
constexpr const char* kCpuArch = "unknown";
#endif

}  // namespace

std::string machineId(const platform::Environment& environment, const platform::Kernel& kernel) {
  static const std::string variable(kModelVariable);
  if (auto model = environment.value(variable); model && !model->empty()) return *model;
  return kernel.names().machine;
}

std::string cpuArch() { return kCpuArch; }

std::string networkTypeForFlags(std::uint32_t flags) {
  if ((flags & platform::kReachable) == 0) return "none";
  return (flags & platform::kIsWWAN) != 0 ? "cellular" : "wifi";
}

std::string networkType(const platform::Reachability& reachability) {
  const auto flags = reachability.flags();
  if (!flags) return "";
  return networkTypeForFlags(*flags);
}

bool isJailbroken() { return false; }

}  // namespace quillstone::device
