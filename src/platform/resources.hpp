// Processors, memory and disk space of the machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quillstone::platform {

struct DiskSpace {
  std::uint64_t totalBytes = 0;
  std::uint64_t freeBytes = 0;
};

class Resources {
 public:
  virtual ~Resources() = default;
  // Configured processors, not only the online ones.
  virtual long processorCount() = 0;
  virtual std::uint64_t physicalMemoryBytes() = 0;
  // The volume holding `path`; nullopt when it cannot be queried.
  virtual std::optional<DiskSpace> diskSpace(const std::string& path) = 0;
};

Resources& systemResources() noexcept;

}  // namespace quillstone::platform
