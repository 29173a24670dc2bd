#include "device/install_id.hpp"

#include <memory>

#include "platform/random.hpp"

namespace quillstone::device {
namespace {

constexpr const char* kInstallIdKey = "qs_device_id";

}  // namespace

std::string installId(platform::DefaultsStore& defaults) {
  // Whatever string is stored is the id, even an empty one: the id of an installation never
  // changes once it exists.
  if (auto stored = defaults.string(kInstallIdKey)) return std::move(*stored);
  // Two first reads may both get here; the store keeps whichever id came first and hands it to
  // both.
  return defaults.stringOrInsert(kInstallIdKey, platform::newUuid());
}

InstallIdCache::~InstallIdCache() { delete id_.load(std::memory_order_acquire); }

std::string_view InstallIdCache::get() {
  if (const std::string* id = id_.load(std::memory_order_acquire)) return *id;
  // Two first readers both read the store, which gives both the same id; one copy is kept.
  auto read = std::make_unique<const std::string>(installId(defaults_));
  const std::string* expected = nullptr;
  if (id_.compare_exchange_strong(expected, read.get(), std::memory_order_acq_rel)) {
    return *read.release();
  }
  return *expected;
}

}  // namespace quillstone::device
