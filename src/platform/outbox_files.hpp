// The offline outbox's files: one file per report that never reached the server, kept in a
// private directory until it can be sent again.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillstone::platform {

// What the outbox holds at most. Beyond either bound the oldest files are removed: a long time
// offline keeps the newest reports, and the disk the host lends is bounded. A single report
// larger than the byte bound is not kept at all.
inline constexpr std::size_t kMaxOutboxFiles = 200;
inline constexpr std::size_t kMaxOutboxBytes = 2 * 1024 * 1024;

// ${XDG_CONFIG_HOME:-$HOME/.config}/<app>/outbox, beside defaults.json.
std::string outboxDirectory();

// A stored file taken by this process to be sent: no other process sends it meanwhile.
struct ClaimedReport {
  std::string storedPath;   // where it lies when it is not claimed
  std::string claimedPath;  // where it lies while this process sends it
  std::string body;
};

// The files are named "<time>-<sequence>-<pid>.report", so that the order of their names is
// the order they were stored in. A file is written whole under a temporary name and then
// renamed ("<name>.tmp.<6 characters>", as every store writes), and is claimed by renaming it
// to "<name>.sending.<pid>": a process killed at any moment leaves either a whole stored file,
// a temporary file (swept at start when stale) or a claimed one (put back once its process is
// gone). Disk work: never on the host's thread.
class OutboxFiles {
 public:
  explicit OutboxFiles(std::string directory) : directory_(std::move(directory)) {}

  const std::string& directory() const noexcept { return directory_; }

  // Keeps `body` as the newest file, then removes the oldest beyond the bounds. False when it
  // was not kept.
  bool store(std::string_view body) const;
  // Claims the oldest stored file that can be read; none when none is left.
  std::optional<ClaimedReport> claimOldest() const;
  // Puts a claimed file back, to be sent later.
  void release(const ClaimedReport& report) const;
  // Deletes a claimed file: it was sent.
  void remove(const ClaimedReport& report) const;
  // Puts back the files claimed by processes that no longer run.
  void releaseAbandoned() const;

 private:
  std::string directory_;
};

}  // namespace quillstone::platform
