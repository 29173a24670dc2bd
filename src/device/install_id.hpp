// The per-installation id sent as "vid".
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include "platform/defaults_store.hpp"

namespace quillstone::device {

// The id stored under "qs_device_id", created and stored on first use. Concurrent first reads
// in one process get the same id.
std::string installId(platform::DefaultsStore& defaults);

// The id of one store, read from it once. An id never changes once it exists, so every later
// report reads it here, with neither a lock nor a copy.
class InstallIdCache {
 public:
  explicit InstallIdCache(platform::DefaultsStore& defaults) : defaults_(defaults) {}
  ~InstallIdCache();
  InstallIdCache(const InstallIdCache&) = delete;
  InstallIdCache& operator=(const InstallIdCache&) = delete;

  // Valid for as long as the cache lives.
  std::string_view get();

 private:
  platform::DefaultsStore& defaults_;
  std::atomic<const std::string*> id_{nullptr};
};

}  // namespace quillstone::device
