// The user-defaults store: a small persistent map from keys to JSON values.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/fork_safe.hpp"

namespace quillstone::platform {

class DefaultsStore {
 public:
  virtual ~DefaultsStore() = default;
  virtual std::optional<nlohmann::json> value(const std::string& key) = 0;
  virtual void setValue(const std::string& key, nlohmann::json value) = 0;

  // The value when it is a string.
  virtual std::optional<std::string> string(const std::string& key);
  // The value when it is a boolean, else false.
  bool boolean(const std::string& key);
  // The string under `key`; when the key holds no string, stores `value` and returns it.
  // Thread-safe stores do this in one step, so concurrent first uses agree on one value; this
  // default is only as safe as value() and setValue() in sequence.
  virtual std::string stringOrInsert(const std::string& key, std::string value);
};

// One JSON object in a file, loaded on first use. Every change rewrites the whole file
// atomically, so a crash or kill mid-write leaves the old or the new content, never a mix.
// A missing file, or one that was read and holds no JSON object, counts as empty and is replaced
// whole by the next change. A file that could not be read (no free descriptor, say) is left
// untouched and read again at the next access; meanwhile the values set live in memory only,
// and once the file is read its stored values win over them: only keys the file lacks are
// added to it. Thread-safe.
//
// The first write into a store whose file held no values (a first launch's install id) returns
// once the file is renamed into place; `deferSync`, when given, is handed the wait for the disk
// to run elsewhere. A power cut before it has run can leave the file empty or partial, which
// reads as the empty store it replaced. Every other write waits for the disk itself.
class FileDefaultsStore final : public DefaultsStore {
 public:
  using DeferSync = std::function<void(std::function<void()>)>;
  explicit FileDefaultsStore(std::string path, DeferSync deferSync = {})
      : path_(std::move(path)), deferSync_(std::move(deferSync)) {}
  std::optional<nlohmann::json> value(const std::string& key) override;
  // The string itself, without a copy of the value around it: read with every report.
  std::optional<std::string> string(const std::string& key) override;
  void setValue(const std::string& key, nlohmann::json value) override;
  std::string stringOrInsert(const std::string& key, std::string value) override;

 private:
  struct Write {
    std::string text;
    std::uint64_t generation = 0;
    // The file it replaces held no values: its wait for the disk may be deferred.
    bool intoEmptyFile = false;
  };
  // With mutex_ held. Reads the file until it has been read once; returns the write that adds
  // to it the values set while it could not be read, when there are any.
  std::optional<Write> loadIfNeeded();
  // Runs `take` on the value under `key`, null when there is none, with mutex_ held and the file
  // read; then writes what reading it changed.
  template <class Take>
  void read(const std::string& key, Take take);
  // With mutex_ held: the write of the current values, none while the file is still unread.
  std::optional<Write> change();
  void persist(std::optional<Write> write);

  const std::string path_;
  const DeferSync deferSync_;
  platform::ForkSafeMutex mutex_;
  // The file's values with this process's changes; before the file is read, the changes only.
  nlohmann::json values_ = nlohmann::json::object();
  bool loaded_ = false;
  // The file as read held no values, and no write of ours has been made since.
  bool fileEmpty_ = false;
  std::uint64_t generation_ = 0;
  platform::ForkSafeMutex writeMutex_;
  std::uint64_t writtenGeneration_ = 0;
};

// The store's file name in the app's configuration directory.
inline constexpr std::string_view kDefaultsFileName = "defaults.json";

// The app's store: ${XDG_CONFIG_HOME:-$HOME/.config}/<app>/defaults.json.
DefaultsStore& systemDefaults() noexcept;

}  // namespace quillstone::platform
