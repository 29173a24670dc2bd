#include "device/install_id.hpp"

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

}  // namespace quillstone::device
