// The keychain: a small private store of secret items, each keyed by an account name.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/fork_safe.hpp"

namespace quillstone::platform {

class Keychain {
 public:
  virtual ~Keychain() = default;
  // The bytes of the item for `account`; nullopt when there is none or the store cannot be read.
  virtual std::optional<std::string> copy(const std::string& account) noexcept = 0;
  // Deletes the item for `account`; false when there was none or the store could not be changed.
  virtual bool remove(const std::string& account) noexcept = 0;
  // Adds an item readable after the device's first unlock. Refused (false) when the account
  // already has one or the store cannot be written.
  virtual bool add(const std::string& account, std::string_view data) noexcept = 0;
};

// One JSON object in a file, mode 0600 in a private directory: account → {"data": base64 of the
// bytes, "accessible": "afterFirstUnlock"}. Every change rewrites the file atomically. A file
// that is missing, or was read and holds no JSON object, holds no items and is replaced whole by
// the next change. The file is read again on every call, so other processes' changes are seen.
// A file that could not be read (no free descriptor, say) is left untouched: items added
// meanwhile live in memory only, and once the file is read again its stored items win over
// them; the others are then written to it.
class FileKeychain final : public Keychain {
 public:
  explicit FileKeychain(std::string path) : path_(std::move(path)) {}
  std::optional<std::string> copy(const std::string& account) noexcept override;
  bool remove(const std::string& account) noexcept override;
  bool add(const std::string& account, std::string_view data) noexcept override;

 private:
  // With mutex_ held: the file's items with the unsaved ones it lacks, which it is then given;
  // nullopt while the file cannot be read.
  std::optional<nlohmann::json> load();

  const std::string path_;
  // Makes each read-modify-write of the file whole within the process, and guards unsaved_.
  platform::ForkSafeMutex mutex_;
  // Items added while the file could not be read, not yet in it.
  nlohmann::json unsaved_ = nlohmann::json::object();
};

// The keychain's file name in the app's data directory.
inline constexpr std::string_view kKeychainFileName = "keychain.json";

// The app's keychain: ${XDG_DATA_HOME:-$HOME/.local/share}/<app>/keychain.json.
Keychain& systemKeychain() noexcept;

}  // namespace quillstone::platform
