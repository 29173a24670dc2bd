#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <array>
#include <string_view>
#include <vector>

#include "platform/reachability.hpp"

namespace quillstone::platform {
namespace {

// Name prefixes of the modem interfaces of Linux and Android cellular drivers.
constexpr std::array<std::string_view, 4> kCellularPrefixes = {"wwan", "ppp", "rmnet", "ccmni"};

bool isCellular(std::string_view name) {
  for (const auto prefix : kCellularPrefixes) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

bool isUsable(const InterfaceEntry& entry) {
  const unsigned upAndRunning = IFF_UP | IFF_RUNNING;
  if ((entry.flags & upAndRunning) != upAndRunning) return false;
  if ((entry.flags & IFF_LOOPBACK) != 0) return false;
  return entry.family == AF_INET || entry.family == AF_INET6;
}

class InterfaceReachability final : public Reachability {
 public:
  std::optional<std::uint32_t> flags() const override {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::vector<InterfaceEntry> entries;
    for (const ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
      const int family = it->ifa_addr != nullptr ? it->ifa_addr->sa_family : AF_UNSPEC;
      entries.push_back({it->ifa_name != nullptr ? it->ifa_name : "", it->ifa_flags, family});
    }
    freeifaddrs(list);
    return reachabilityFlags(entries);
  }
};

}  // namespace

std::uint32_t reachabilityFlags(std::span<const InterfaceEntry> interfaces) {
  bool reachable = false;
  bool otherLink = false;
  for (const auto& entry : interfaces) {
    if (!isUsable(entry)) continue;
    reachable = true;
    if (!isCellular(entry.name)) otherLink = true;
  }
  if (!reachable) return 0;
  return otherLink ? kReachable : kReachable | kIsWWAN;
}

const Reachability& systemReachability() noexcept {
  static const auto* reachability = new InterfaceReachability();
  return *reachability;
}

}  // namespace quillstone::platform
