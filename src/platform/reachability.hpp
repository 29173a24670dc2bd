// Reachability of the all-zero IPv4 address: whether, and over what kind of link, the device
// can reach the network at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace quillstone::platform {

constexpr std::uint32_t kReachable = 0x2;
constexpr std::uint32_t kIsWWAN = 0x40000;

// One entry of the interface list: an interface name with its IFF_* flags and the address
// family of one of its addresses (AF_UNSPEC when the entry carries none).
struct InterfaceEntry {
  std::string name;
  unsigned flags = 0;
  int family = 0;
};

// The flag word for a list of interface entries. Reachable when an interface that is up and
// running, not loopback, has an IPv4 or IPv6 address. IsWWAN only when every such interface is
// a cellular modem: with any other usable link present, that link carries the default route,
// as a phone prefers Wi-Fi over cellular.
std::uint32_t reachabilityFlags(std::span<const InterfaceEntry> interfaces);

class Reachability {
 public:
  virtual ~Reachability() = default;
  // The current flag word, or nullopt when the system cannot be asked.
  virtual std::optional<std::uint32_t> flags() const = 0;
};

// getifaddrs, asked afresh on every call.
const Reachability& systemReachability() noexcept;

}  // namespace quillstone::platform
