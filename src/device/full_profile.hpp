// The full device profile: what the device report sends as its "data".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "integrity/integrity.hpp"
#include "platform/resources.hpp"
#include "platform/screen.hpp"
#include "platform/services.hpp"

namespace quillstone::device {

// The profile's raw material, as the platform services gave it: no unit, truncation or
// fallback applied yet. Kept apart from the mapping so the conversions can be tested with
// made-up machines.
struct ProfileInputs {
  platform::ScreenMetrics screen;
  std::optional<platform::DiskSpace> disk;  // nullopt when the volume could not be queried
  nlohmann::json infoDictionary = nlohmann::json::object();
  std::optional<std::string> bundleIdentifier;
  std::string model;
  std::string modelName;
  std::string osVersion;
  std::string appVersion;  // the configured release, not the bundle's own version
  std::string stableId;
  std::string locale;
  std::string timeZone;
  std::string network;
  std::string cpuArch;
  long processorCount = 0;
  std::uint64_t physicalMemoryBytes = 0;
  integrity::IntegrityReport integrity;
};

// Exactly 27 entries, "screen" exactly three; a value that could not be read becomes its
// fallback and is never left out.
nlohmann::json fullDeviceInfo(const ProfileInputs& inputs);

// The device identifier the profile sends as "stableId", the one install attribution sends.
using StableIdSource = std::function<std::string()>;

// Queries the services, in the order the profile is assembled. `release` is the configured
// release. Blocks briefly on the network probe and the file system, and `stableId` may create
// the keychain's device identifier: never call it on a host thread.
ProfileInputs gatherProfileInputs(const platform::Services& services,
                                  const StableIdSource& stableId, const std::string& release);

// The profile of this device right now.
nlohmann::json fullDeviceInfo(const platform::Services& services, const StableIdSource& stableId,
                              const std::string& release);

}  // namespace quillstone::device
