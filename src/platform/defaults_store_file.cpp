#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/paths.hpp"
#include "platform/stored_object.hpp"
#include "platform/worker.hpp"

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
  return std::move(found->get_ref<std::string&>());
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

std::optional<FileDefaultsStore::Write> FileDefaultsStore::loadIfNeeded() {
  if (loaded_) return std::nullopt;
  auto stored = readStoredObject(path_);
  if (!stored) return std::nullopt;
  fileEmpty_ = stored->empty();
  const bool added = !adoptMissing(*stored, values_).empty();
  values_ = std::move(*stored);
  loaded_ = true;
  return added ? change() : std::nullopt;
}

std::optional<FileDefaultsStore::Write> FileDefaultsStore::change() {
  if (!loaded_) return std::nullopt;
  const bool intoEmptyFile = fileEmpty_;
  fileEmpty_ = false;
  return Write{values_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
               ++generation_, intoEmptyFile};
}

template <class Take>
void FileDefaultsStore::read(const std::string& key, Take take) {
  std::optional<Write> write;
  {
    std::lock_guard lock(mutex_);
    write = loadIfNeeded();
    const auto it = values_.find(key);
    take(it != values_.end() ? &*it : nullptr);
  }
  persist(std::move(write));
}

std::optional<nlohmann::json> FileDefaultsStore::value(const std::string& key) {
  std::optional<nlohmann::json> found;
  read(key, [&](const nlohmann::json* value) {
    if (value != nullptr) found = *value;
  });
  return found;
}

std::optional<std::string> FileDefaultsStore::string(const std::string& key) {
  std::optional<std::string> found;
  read(key, [&](const nlohmann::json* value) {
    if (value != nullptr && value->is_string()) found = value->get_ref<const std::string&>();
  });
  return found;
}

void FileDefaultsStore::setValue(const std::string& key, nlohmann::json value) {
  std::optional<Write> write;
  {
    std::lock_guard lock(mutex_);
    loadIfNeeded();
    values_[key] = std::move(value);
    write = change();
  }
  persist(std::move(write));
}

std::string FileDefaultsStore::stringOrInsert(const std::string& key, std::string value) {
  std::optional<Write> write;
  std::optional<std::string> existing;
  {
    std::lock_guard lock(mutex_);
    write = loadIfNeeded();
    const auto it = values_.find(key);
    if (it != values_.end() && it->is_string()) {
      existing = it->get<std::string>();
    } else {
      values_[key] = value;
      write = change();
    }
  }
  persist(std::move(write));
  return existing ? std::move(*existing) : value;
}

// The file is written outside the map's lock, so readers never wait on the disk; a write that
// lost the race to a newer one is skipped.
void FileDefaultsStore::persist(std::optional<Write> write) {
  if (!write) return;
  std::lock_guard lock(writeMutex_);
  if (write->generation <= writtenGeneration_) return;
  makePrivateDirectories(directoryOf(path_));
  if (write->intoEmptyFile && deferSync_) {
    if (!replaceFileUnsynced(path_, write->text, kDefaultsFileMode)) return;
    writtenGeneration_ = write->generation;
    try {
      deferSync_([path = path_] { syncFileToDisk(path); });
    } catch (...) {
      syncFileToDisk(path_);
    }
    return;
  }
  if (writeFileAtomically(path_, write->text, kDefaultsFileMode)) {
    writtenGeneration_ = write->generation;
  }
}

DefaultsStore& systemDefaults() noexcept {
  // The first launch's install id is written on the thread of the host's first start: its wait
  // for the disk (milliseconds) happens on the worker's thread instead.
  static DefaultsStore* store = new FileDefaultsStore(
      configDirectory() + "/" + std::string(kDefaultsFileName), [](std::function<void()> sync) {
        systemWorker().schedule(std::chrono::milliseconds(0), std::move(sync));
      });
  return *store;
}

}  // namespace quillstone::platform
