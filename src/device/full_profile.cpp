#include "device/full_profile.hpp"

#include <cmath>
#include <limits>

#include "base/constants.hpp"
#include "device/identity.hpp"
#include "platform/bundle.hpp"
#include "platform/locale.hpp"
#include "platform/paths.hpp"
#include "platform/system_version.hpp"
#include "platform/time_zone.hpp"

namespace quillstone::device {
namespace {

constexpr std::string_view kBrand = "Apple";
constexpr std::string_view kOsName = "iOS";
constexpr const char* kBuildKey = "CFBundleVersion";
// This build stands in for the simulator target.
constexpr bool kIsSimulator = true;
// The debug flag of the profile is not the build type of the host: always reported off.
constexpr bool kIsDebug = false;
constexpr std::uint64_t kBytesPerMiB = 1024 * 1024;
constexpr int kMiBShift = 20;

// Whole points, truncated toward zero. A length the integer cannot hold counts as unreadable,
// rather than letting the conversion go undefined.
std::int64_t wholePoints(double points) {
  constexpr double kLimit = static_cast<double>(std::numeric_limits<std::int64_t>::max());
  if (!std::isfinite(points) || std::fabs(points) >= kLimit) return 0;
  return static_cast<std::int64_t>(points);
}

// The bundle's version entry as text: a string unchanged, any other value in its JSON form
// (a build number written as 42 reads "42").
std::string buildNumber(const nlohmann::json& info) {
  if (!info.is_object()) return {};
  const auto entry = info.find(kBuildKey);
  if (entry == info.end()) return {};
  if (entry->is_string()) return entry->get<std::string>();
  return entry->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::uint64_t wholeMiB(std::uint64_t bytes) { return bytes / kBytesPerMiB; }

}  // namespace

nlohmann::json fullDeviceInfo(const ProfileInputs& in) {
  const platform::DiskSpace disk = in.disk.value_or(platform::DiskSpace{});
  return nlohmann::json::object({
      {"platform", base::kPlatform},
      {"brand", kBrand},
      {"model", in.model},
      {"modelName", in.modelName},
      {"os", kOsName},
      {"osVersion", in.osVersion},
      {"appVersion", in.appVersion},
      {"build", buildNumber(in.infoDictionary)},
      {"bundleId", in.bundleIdentifier.value_or("")},
      {"stableId", in.stableId},
      {"sdkVersion", base::kSdkVersion},
      {"screen", nlohmann::json::object({{"w", wholePoints(in.screen.width())},
                                         {"h", wholePoints(in.screen.height())},
                                         {"scale", in.screen.scale}})},
      {"locale", in.locale},
      {"timezone", in.timeZone},
      {"network", in.network},
      {"cpuArch", in.cpuArch},
      // A count the system could not give is reported as none rather than as a negative count.
      {"cpuCores", in.processorCount > 0 ? in.processorCount : 0},
      {"memoryMb", in.physicalMemoryBytes >> kMiBShift},
      {"diskTotalMb", wholeMiB(disk.totalBytes)},
      {"diskFreeMb", wholeMiB(disk.freeBytes)},
      {"isSimulator", kIsSimulator},
      {"isRooted", isJailbroken()},
      {"isDebug", kIsDebug},
      {"signature", in.integrity.signature},
      {"debuggerAttached", in.integrity.debuggerAttached},
      {"hookFramework", in.integrity.hookFramework},
      {"sideloaded", in.integrity.sideloaded},
  });
}

ProfileInputs gatherProfileInputs(const platform::Services& services,
                                  const StableIdSource& stableId, const std::string& release) {
  ProfileInputs in;
  in.screen = services.screen.mainScreen();
  // statvfs of "" fails, which gives the unreadable fallback when there is no home at all.
  in.disk = services.resources.diskSpace(platform::homeDirectory());
  in.infoDictionary = platform::infoDictionary();
  in.bundleIdentifier = platform::bundleIdentifier();
  in.model = machineId(services.environment, services.kernel);
  in.modelName = machineId(services.environment, services.kernel);
  in.osVersion = platform::systemVersion(services.environment, services.kernel);
  in.appVersion = release;
  // Reading it creates the identifier when the attribution client has not done so yet.
  in.stableId = stableId ? stableId() : std::string();
  in.locale = services.locale.identifier();
  in.timeZone = services.timeZone.identifier();
  in.network = networkType(services.reachability);
  in.cpuArch = cpuArch();
  in.processorCount = services.resources.processorCount();
  in.physicalMemoryBytes = services.resources.physicalMemoryBytes();
  in.integrity = integrity::probeIntegrity();
  return in;
}

nlohmann::json fullDeviceInfo(const platform::Services& services, const StableIdSource& stableId,
                              const std::string& release) {
  return fullDeviceInfo(gatherProfileInputs(services, stableId, release));
}

}  // namespace quillstone::device
