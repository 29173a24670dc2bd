#include "attribution/device_id.hpp"

#include <new>

#include "base/text.hpp"
#include "platform/random.hpp"

namespace quillstone::attribution {

std::optional<std::string> keychainGet(platform::Keychain& keychain,
                                       const std::string& account) noexcept {
  auto bytes = keychain.copy(account);
  if (!bytes || !base::isValidUtf8(*bytes)) return std::nullopt;
  return bytes;
}

void keychainSet(platform::Keychain& keychain, const std::string& account,
                 const std::string& value) noexcept {
  // Nothing to delete is not an error; the add below is what counts.
  keychain.remove(account);
  keychain.add(account, value);
}

namespace {

// An empty identifier tells no device from another, so it counts as none and a new one is made.
std::optional<std::string> storedId(platform::Keychain& keychain) noexcept {
  auto stored = keychainGet(keychain, kDeviceIdAccount);
  if (stored && stored->empty()) return std::nullopt;
  return stored;
}

}  // namespace

void DeviceIdSource::renewIfForked() noexcept {
  renewal_.renewIfForked([this] {
    new (&mutex_) std::mutex();
    new (&roundEnded_) std::condition_variable();
    creating_ = false;
  });
}

std::string DeviceIdSource::deviceId() noexcept {
  renewIfForked();
  try {
    if (auto stored = storedId(keychain_)) return std::move(*stored);
    std::unique_lock lock(mutex_);
    if (creating_) {
      // Another thread is creating the identifier: take the one it settles on.
      const std::uint64_t round = round_;
      roundEnded_.wait(lock, [&] { return round_ != round; });
      return lastCreated_;
    }
    creating_ = true;
    lock.unlock();
    // Ends the round however this function is left, so no waiting thread waits for ever.
    struct RoundEnd {
      DeviceIdSource& source;
      std::string id;
      ~RoundEnd() {
        {
          std::lock_guard guard(source.mutex_);
          source.lastCreated_.swap(id);
          source.creating_ = false;
          ++source.round_;
        }
        source.roundEnded_.notify_all();
      }
    } end{*this, createOrRead()};
    return end.id;
  } catch (...) {
    // Only allocation can fail here, and a new identifier would need allocation too.
    return {};
  }
}

// A thread that finished creating between another's first read and its taking the round has
// stored the identifier already, so the keychain is read once more before creating.
std::string DeviceIdSource::createOrRead() noexcept {
  if (auto stored = storedId(keychain_)) return std::move(*stored);
  try {
    std::string id = platform::newUuid();
    keychainSet(keychain_, kDeviceIdAccount, id);
    return id;
  } catch (...) {
    return {};
  }
}

}  // namespace quillstone::attribution
