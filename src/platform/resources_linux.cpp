#include <sys/statvfs.h>
#include <unistd.h>

#include "platform/resources.hpp"

namespace quillstone::platform {
namespace {

class LinuxResources final : public Resources {
 public:
  long processorCount() override { return sysconf(_SC_NPROCESSORS_CONF); }

  std::uint64_t physicalMemoryBytes() override {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
  }

  std::optional<DiskSpace> diskSpace(const std::string& path) override {
    struct statvfs volume {};
    if (statvfs(path.c_str(), &volume) != 0) return std::nullopt;
    return DiskSpace{static_cast<std::uint64_t>(volume.f_blocks) * volume.f_frsize,
                     static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize};
  }
};

}  // namespace

Resources& systemResources() noexcept {
  static Resources* resources = new LinuxResources();
  return *resources;
}

}  // namespace quillstone::platform
