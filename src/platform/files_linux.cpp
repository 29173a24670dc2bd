#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string_view>

#include "platform/files.hpp"
#include "platform/signal_safe_io.hpp"

namespace quillstone::platform {
namespace {

// A temporary file is named after its target: "<target>.tmp." and mkostemp's six characters.
constexpr std::string_view kTemporaryInfix = ".tmp.";
constexpr std::string_view kTemporaryUnique = "XXXXXX";

void syncDirectoryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

bool isDirectory(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// True when `name` is one of writeFileAtomically's temporaries for `target` (any, when empty).
bool isTemporaryOf(std::string_view name, std::string_view target) {
  const std::size_t suffix = kTemporaryInfix.size() + kTemporaryUnique.size();
  if (name.size() <= suffix) return false;
  const std::string_view stem = name.substr(0, name.size() - suffix);
  if (!target.empty() && stem != target) return false;
  return name.substr(stem.size(), kTemporaryInfix.size()) == kTemporaryInfix;
}

// True when the regular file `path` was last modified at least `age` ago.
bool isStaleFile(const std::string& path, std::chrono::seconds age) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  // A modification time in the future is not stale: the clock may have been set back.
  return now.tv_sec - info.st_mtim.tv_sec >= age.count();
}

// True when a component of `path` is "." or "..": then an existing final directory says
// nothing about the parents the path names on its way.
bool hasDotComponent(std::string_view path) {
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    const std::string_view component = path.substr(start, slash - start);
    if (component == "." || component == "..") return true;
    start = slash + 1;
  }
  return false;
}

// The usual case, an existing private directory, in one system call instead of one per
// component.
bool isExistingPrivateDirectory(const std::string& path) {
  struct stat info {};
  if (hasDotComponent(path) || ::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return false;
  }
  return (info.st_mode & 07777) == kPrivateDirectoryMode;
}

}  // namespace

FileRead readFileChecked(const std::string& path) {
  FileRead result;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // A missing parent directory means the file is not there either.
    if (errno == ENOENT || errno == ENOTDIR) result.status = FileRead::Status::missing;
    return result;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      ::close(fd);
      result.bytes.clear();
      return result;
    }
    if (got == 0) break;
    result.bytes.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(fd);
  result.status = FileRead::Status::read;
  return result;
}

std::optional<std::string> readFile(const std::string& path) {
  auto result = readFileChecked(path);
  if (result.status != FileRead::Status::read) return std::nullopt;
  return std::move(result.bytes);
}

namespace {

// The temporary file, then the rename; with `sync`, the content reaches the disk before the
// rename and the directory entry after it.
bool replaceFile(const std::string& path, std::string_view bytes, mode_t mode, bool sync) {
  std::string temporary = path;
  temporary.append(kTemporaryInfix).append(kTemporaryUnique);
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written =
      ::fchmod(fd, mode) == 0 && writeAll(fd, bytes) && (!sync || ::fsync(fd) == 0);
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  if (sync) syncDirectoryOf(path);
  return true;
}

}  // namespace

bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode) {
  return replaceFile(path, bytes, mode, /*sync=*/true);
}

bool replaceFileUnsynced(const std::string& path, std::string_view bytes, mode_t mode) {
  return replaceFile(path, bytes, mode, /*sync=*/false);
}

void syncFileToDisk(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
  syncDirectoryOf(path);
}

namespace {

// Makes `directory` when it is missing, after its own missing parents. Most of a chain exists
// already, so it is walked from the deepest end up: one call for each directory made, not one
// for each directory of the path. Existing directories are left as they are. Whether this call
// made `directory`.
bool makeMissingDirectory(const std::string& directory) {
  if (::mkdir(directory.c_str(), kPrivateDirectoryMode) == 0) return true;
  if (errno != ENOENT) return false;
  const auto slash = directory.rfind('/');
  if (slash == std::string::npos || slash == 0) return false;
  makeMissingDirectory(directory.substr(0, slash));
  return ::mkdir(directory.c_str(), kPrivateDirectoryMode) == 0;
}

}  // namespace

bool makePrivateDirectories(const std::string& path) {
  if (path.empty()) return false;
  if (isExistingPrivateDirectory(path)) return true;
  if (makeMissingDirectory(path)) return true;
  if (!isDirectory(path)) return false;
  ::chmod(path.c_str(), kPrivateDirectoryMode);
  return true;
}

bool isWritableDirectory(const std::string& path) {
  return isDirectory(path) && ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool isWritableOrCreatableDirectory(const std::string& path) {
  std::string existing = path;
  struct stat info {};
  while (::stat(existing.c_str(), &info) != 0) {
    // Anything but a missing entry (a file where a parent directory belongs, no permission to
    // look) would stop makePrivateDirectories too.
    if (errno != ENOENT) return false;
    const auto slash = existing.rfind('/');
    if (slash == std::string::npos || existing == "/") return false;
    existing.resize(slash == 0 ? 1 : slash);
  }
  return S_ISDIR(info.st_mode) && ::access(existing.c_str(), W_OK | X_OK) == 0;
}

std::vector<std::string> listDirectory(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

void removeStaleTemporaries(const std::string& directory, std::string_view target,
                            std::chrono::seconds age) {
  for (const std::string& name : listDirectory(directory)) {
    if (!isTemporaryOf(name, target)) continue;
    const std::string path = directory + "/" + name;
    if (isStaleFile(path, age)) ::unlink(path.c_str());
  }
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

}  // namespace quillstone::platform
