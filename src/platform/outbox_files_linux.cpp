#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/files.hpp"
#include "platform/outbox_files.hpp"
#include "platform/paths.hpp"

namespace quillstone::platform {
namespace {

constexpr std::string_view kOutboxDirectoryName = "outbox";
constexpr std::string_view kStoredSuffix = ".report";
constexpr std::string_view kClaimedInfix = ".sending.";
constexpr mode_t kOutboxFileMode = 0600;

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.size() > suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// A name that sorts by the time it was made: zero-padded milliseconds, then a sequence number
// for reports of the same millisecond, then the process id for reports of other processes.
std::string newStoredName() {
  static std::atomic<std::uint64_t> sequence{0};
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  char name[96];
  std::snprintf(name, sizeof name, "%016lld-%010llu-%d", static_cast<long long>(millis),
                static_cast<unsigned long long>(sequence.fetch_add(1) % 10000000000ULL),
                static_cast<int>(::getpid()));
  return std::string(name) + std::string(kStoredSuffix);
}

// The stored files, oldest first.
std::vector<std::string> storedNames(const std::string& directory) {
  std::vector<std::string> names;
  for (std::string& name : listDirectory(directory)) {
    if (endsWith(name, kStoredSuffix)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t fileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return static_cast<std::size_t>(info.st_size);
}

// Removes the oldest stored files until both bounds hold.
void trim(const std::string& directory) {
  const auto names = storedNames(directory);
  std::vector<std::size_t> sizes;
  std::size_t total = 0;
  for (const auto& name : names) {
    sizes.push_back(fileSize(directory + "/" + name));
    total += sizes.back();
  }
  std::size_t count = names.size();
  for (std::size_t i = 0; i < names.size() && (count > kMaxOutboxFiles || total > kMaxOutboxBytes);
       ++i) {
    if (removeFile(directory + "/" + names[i])) {
      --count;
      total -= sizes[i];
    }
  }
}

// The process that claimed a file, from its name; 0 when the name is not a claimed one.
pid_t claimer(std::string_view name) {
  const auto infix = name.rfind(kClaimedInfix);
  if (infix == std::string_view::npos) return 0;
  const std::string_view stored = name.substr(0, infix);
  if (!endsWith(stored, kStoredSuffix)) return 0;
  pid_t pid = 0;
  for (const char c : name.substr(infix + kClaimedInfix.size())) {
    if (c < '0' || c > '9' || pid > 100000000) return 0;
    pid = pid * 10 + (c - '0');
  }
  return pid;
}

}  // namespace

std::string outboxDirectory() {
  return configDirectory() + "/" + std::string(kOutboxDirectoryName);
}

bool OutboxFiles::store(std::string_view body) const {
  if (body.size() > kMaxOutboxBytes || !makePrivateDirectories(directory_)) return false;
  if (!writeFileAtomically(directory_ + "/" + newStoredName(), body, kOutboxFileMode)) return false;
  trim(directory_);
  return true;
}

std::optional<ClaimedReport> OutboxFiles::claimOldest() const {
  const std::string suffix = std::string(kClaimedInfix) + std::to_string(::getpid());
  for (const auto& name : storedNames(directory_)) {
    ClaimedReport report;
    report.storedPath = directory_ + "/" + name;
    report.claimedPath = report.storedPath + suffix;
    // Another process, or another run of this one, may have claimed it first: then the rename
    // finds nothing.
    if (::rename(report.storedPath.c_str(), report.claimedPath.c_str()) != 0) continue;
    auto bytes = readFile(report.claimedPath);
    if (!bytes) {
      release(report);
      continue;
    }
    report.body = std::move(*bytes);
    return report;
  }
  return std::nullopt;
}

void OutboxFiles::release(const ClaimedReport& report) const {
  ::rename(report.claimedPath.c_str(), report.storedPath.c_str());
}

void OutboxFiles::remove(const ClaimedReport& report) const { removeFile(report.claimedPath); }

void OutboxFiles::releaseAbandoned() const {
  for (const std::string& name : listDirectory(directory_)) {
    const pid_t pid = claimer(name);
    if (pid <= 0 || pid == ::getpid()) continue;
    if (::kill(pid, 0) == 0 || errno != ESRCH) continue;
    const std::string stored = name.substr(0, name.rfind(kClaimedInfix));
    ::rename((directory_ + "/" + name).c_str(), (directory_ + "/" + stored).c_str());
  }
}

}  // namespace quillstone::platform
