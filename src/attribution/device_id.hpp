// The device identifier kept in the keychain, shared by the install request and the device
// profile.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/fork_safe.hpp"
#include "platform/keychain.hpp"

namespace quillstone::attribution {

inline constexpr const char* kDeviceIdAccount = "quillstone_device_id";

// The text of the item for `account`; nullopt when there is none, it cannot be read, or its
// bytes are not UTF-8.
std::optional<std::string> keychainGet(platform::Keychain& keychain,
                                       const std::string& account) noexcept;

// Replaces the item for `account` with `value`. Failures are not reported: the caller has no
// better fallback than the value it already holds.
void keychainSet(platform::Keychain& keychain, const std::string& account,
                 const std::string& value) noexcept;

// Reads the identifier from the keychain on every call and creates one when there is none.
// Creation is serialised within the process, so threads that find no identifier at the same
// time all receive the one identifier that was created. When the keychain can neither keep nor
// return an item, every call yields a new identifier.
class DeviceIdSource {
 public:
  explicit DeviceIdSource(platform::Keychain& keychain) : keychain_(keychain) {}
  std::string deviceId() noexcept;

 private:
  std::string createOrRead() noexcept;
  // A round a parent's thread had begun never ends in a forked child: the child starts without.
  void renewIfForked() noexcept;

  platform::Keychain& keychain_;
  platform::ForkRenewal renewal_;
  // Guards the creation round only; never held while the keychain is used.
  std::mutex mutex_;
  std::condition_variable roundEnded_;
  bool creating_ = false;
  std::uint64_t round_ = 0;
  std::string lastCreated_;
};

}  // namespace quillstone::attribution
