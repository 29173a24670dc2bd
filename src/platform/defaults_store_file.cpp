#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/paths.hpp"

namespace quillstone::platform {
namespace {

constexpr mode_t kDefaultsFileMode = 0600;

std::string directoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

std::optional<std::string> DefaultsStore::string(const std::string& key) {
  auto found = value(key);
  if (!found || !found->is_string()) return std::nullopt;
  return found->get<std::string>();
}

bool DefaultsStore::boolean(const std::string& key) {
  auto found = value(key);
  return found && found->is_boolean() && found->get<bool>();
}

std::string DefaultsStore::stringOrInsert(const std::string& key, std::string value) {
  if (auto existing = string(key)) return *existing;
  setValue(key, value);
  return value;
}

void FileDefaultsStore::loadIfNeeded() {
  if (loaded_) return;
  loaded_ = true;
  values_ = nlohmann::json::object();
  const auto text = readFile(path_);
  if (!text) return;
  auto parsed = nlohmann::json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_object()) values_ = std::move(parsed);
}

std::optional<nlohmann::json> FileDefaultsStore::value(const std::string& key) {
  std::lock_guard lock(mutex_);
  loadIfNeeded();
  const auto it = values_.find(key);
  if (it == values_.end()) return std::nullopt;
  return *it;
}

void FileDefaultsStore::setValue(const std::string& key, nlohmann::json value) {
  std::string text;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    loadIfNeeded();
    values_[key] = std::move(value);
    text = values_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    generation = ++generation_;
  }
  persist(std::move(text), generation);
}

std::string FileDefaultsStore::stringOrInsert(const std::string& key, std::string value) {
  std::string text;
  std::uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    loadIfNeeded();
    const auto it = values_.find(key);
    if (it != values_.end() && it->is_string()) return it->get<std::string>();
    values_[key] = value;
    text = values_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    generation = ++generation_;
  }
  persist(std::move(text), generation);
  return value;
}

// The file is written outside the map's lock, so readers never wait on the disk; a write that
// lost the race to a newer one is skipped.
void FileDefaultsStore::persist(std::string text, std::uint64_t generation) {
  std::lock_guard lock(writeMutex_);
  if (generation <= writtenGeneration_) return;
  makePrivateDirectories(directoryOf(path_));
  if (writeFileAtomically(path_, text, kDefaultsFileMode)) writtenGeneration_ = generation;
}

DefaultsStore& systemDefaults() noexcept {
  static DefaultsStore* store = new FileDefaultsStore(configDirectory() + "/defaults.json");
  return *store;
}

}  // namespace quillstone::platform
