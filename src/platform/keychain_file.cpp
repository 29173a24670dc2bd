#include <algorithm>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "platform/files.hpp"
#include "platform/keychain.hpp"
#include "platform/paths.hpp"
#include "platform/stored_object.hpp"

namespace quillstone::platform {
namespace {

using nlohmann::json;

constexpr mode_t kKeychainFileMode = 0600;
constexpr const char* kDataKey = "data";
constexpr const char* kAccessibleKey = "accessible";
constexpr const char* kAfterFirstUnlock = "afterFirstUnlock";
constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string encodeBase64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = std::min<std::size_t>(3, bytes.size() - i);
    std::uint32_t group = 0;
    for (std::size_t k = 0; k < 3; ++k) {
      group = (group << 8) | (k < count ? static_cast<std::uint8_t>(bytes[i + k]) : 0U);
    }
    for (std::size_t k = 0; k < 4; ++k) {
      text += k <= count ? kBase64Alphabet[(group >> (18 - 6 * k)) & 0x3F] : '=';
    }
  }
  return text;
}

// nullopt for anything that is not canonical padded base64.
std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    std::uint32_t group = 0;
    std::size_t padding = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const char c = text[i + k];
      const bool last = i + 4 == text.size();
      if (c == '=' && last && k >= 2 && (k == 3 || text[i + 3] == '=')) {
        ++padding;
        group <<= 6;
        continue;
      }
      const auto index = kBase64Alphabet.find(c);
      if (index == std::string_view::npos || padding > 0) return std::nullopt;
      group = (group << 6) | static_cast<std::uint32_t>(index);
    }
    for (std::size_t k = 0; k < 3 - padding; ++k) {
      bytes += static_cast<char>((group >> (16 - 8 * k)) & 0xFF);
    }
  }
  return bytes;
}

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool store(const std::string& path, const json& items) {
  if (!makePrivateDirectories(directoryOf(path))) return false;
  return writeFileAtomically(path, items.dump(), kKeychainFileMode);
}

json makeItem(std::string_view data) {
  return {{kDataKey, encodeBase64(data)}, {kAccessibleKey, kAfterFirstUnlock}};
}

}  // namespace

std::optional<json> FileKeychain::load() {
  auto items = readStoredObject(path_);
  if (!items) return std::nullopt;
  json adopted = adoptMissing(*items, unsaved_);
  // Kept until a write carries them, so a failed one is tried again at the next call.
  unsaved_ = adopted.empty() || store(path_, *items) ? json::object() : std::move(adopted);
  return items;
}

std::optional<std::string> FileKeychain::copy(const std::string& account) noexcept {
  try {
    std::lock_guard lock(mutex_);
    const auto stored = load();
    const json& items = stored ? *stored : unsaved_;
    const auto item = items.find(account);
    if (item == items.end() || !item->is_object()) return std::nullopt;
    const auto data = item->find(kDataKey);
    if (data == item->end() || !data->is_string()) return std::nullopt;
    return decodeBase64(data->get_ref<const std::string&>());
  } catch (...) {
    return std::nullopt;
  }
}

bool FileKeychain::remove(const std::string& account) noexcept {
  try {
    std::lock_guard lock(mutex_);
    auto items = load();
    if (!items) return unsaved_.erase(account) > 0;
    if (items->erase(account) == 0) return false;
    return store(path_, *items);
  } catch (...) {
    return false;
  }
}

bool FileKeychain::add(const std::string& account, std::string_view data) noexcept {
  try {
    std::lock_guard lock(mutex_);
    auto items = load();
    // Unreadable, the file may hold the account already: the item waits in memory.
    json& into = items ? *items : unsaved_;
    if (into.contains(account)) return false;
    into[account] = makeItem(data);
    return !items || store(path_, *items);
  } catch (...) {
    return false;
  }
}

Keychain& systemKeychain() noexcept {
  // Never destroyed: the library's threads may still read it while the process exits.
  static Keychain* keychain =
      new FileKeychain(dataDirectory() + "/" + std::string(kKeychainFileName));
  return *keychain;
}

}  // namespace quillstone::platform
