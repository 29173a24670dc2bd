#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/files.hpp"
#include "platform/reserved_file.hpp"
#include "platform/signal_safe_io.hpp"

namespace quillstone::platform {
namespace {

// Async-signal-safe.
bool isFile(int fd, dev_t device, ino_t inode) {
  struct stat info {};
  return fd >= 0 && ::fstat(fd, &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

// Async-signal-safe: the first `length` bytes of `from` as the file `path`, opened the ordinary
// way. False when the file could not be opened.
bool copyInto(int from, off_t length, const char* path, mode_t mode) {
  const int to = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (to < 0) return false;
  char buffer[4096];
  for (off_t at = 0; at < length;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(length - at, sizeof buffer));
    const ssize_t got = ::pread(from, buffer, want, at);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || !writeAll(to, buffer, static_cast<std::size_t>(got))) break;
    at += got;
  }
  ::close(to);
  return true;
}

// Removes the named reservations, `prefix` followed by a process id, of processes that ended.
void removeAbandoned(const std::string& prefix) {
  const auto slash = prefix.rfind('/');
  if (slash == std::string::npos) return;
  const std::string directory = prefix.substr(0, slash);
  const std::string_view start = std::string_view(prefix).substr(slash + 1);
  for (const std::string& name : listDirectory(directory)) {
    if (name.size() <= start.size() || name.compare(0, start.size(), start) != 0) continue;
    char* end = nullptr;
    const long pid = std::strtol(name.c_str() + start.size(), &end, 10);
    if (*end != '\0' || pid <= 0 || pid == ::getpid()) continue;
    if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
      removeFile(directory + "/" + name);
    }
  }
}

}  // namespace

bool ReservedFile::stillHeld(const Page& page) const noexcept {
  return page.owner == ::getpid() && isFile(page.fd, page.device, page.inode);
}

bool ReservedFile::prepare(const std::string& directory, const std::string& fallbackPrefix,
                           std::size_t bytes, mode_t mode) {
  std::lock_guard guard(preparing_);
  if (takenOnce_.load()) return false;
  const Page* previous = current_.load();
  if (previous != nullptr && directory == previous->directory && stillHeld(*previous)) return true;

  Page* page = previous == &pages_[0] ? &pages_[1] : &pages_[0];
  *page = Page{};
  if (!copyWhole(page->directory, directory)) return false;
  page->mode = mode;
  int fd = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR)) {
    // No file without a name here: a named one beside the directory, whose name the crash
    // upload never takes.
    removeAbandoned(fallbackPrefix);
    if (!copyWhole(page->namedPath, fallbackPrefix + std::to_string(::getpid()))) return false;
    fd = ::open(page->namedPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    page->named = true;
  }
  if (fd < 0) return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    ::close(fd);
    return false;
  }
  std::snprintf(page->linkPath, sizeof page->linkPath, "/proc/self/fd/%d", fd);
  // Without the space, the descriptor alone is still worth holding.
  page->bytes = ::posix_fallocate(fd, 0, static_cast<off_t>(bytes)) == 0 ? bytes : 0;
  page->fd = fd;
  page->device = info.st_dev;
  page->inode = info.st_ino;
  page->owner = ::getpid();
  current_.store(page);

  // A writer that took the previous reservation before the switch keeps it. Otherwise it is
  // nobody's: closed while its descriptor is still that file (a fork's copy included), and its
  // name removed when this process made it.
  if (previous != nullptr && !takenOnce_.load() &&
      isFile(previous->fd, previous->device, previous->inode)) {
    ::close(previous->fd);
    if (previous->named && previous->owner == ::getpid()) ::unlink(previous->namedPath);
  }
  return true;
}

int ReservedFile::take() noexcept {
  if (takenOnce_.exchange(true)) return -1;
  const Page* page = current_.load();
  // A fork's copy is the parent's file: the child must not write into it.
  if (page == nullptr || !stillHeld(*page)) return -1;
  if (::lseek(page->fd, 0, SEEK_SET) != 0) return -1;
  taken_.store(page);
  return page->fd;
}

bool ReservedFile::place(int fd, const char* path) noexcept {
  const Page* page = taken_.load();
  if (page == nullptr || page->fd != fd) return false;
  const off_t length = ::lseek(fd, 0, SEEK_CUR);
  // No allocated but unwritten bytes go out with the file.
  if (length >= 0) ::ftruncate(fd, length);
  bool placed = false;
  if (page->named) {
    placed = ::rename(page->namedPath, path) == 0;
  } else {
    // A link does not replace a file, so the earlier one goes first, as opening it with
    // truncation would have removed its content.
    ::unlink(path);
    placed = ::linkat(AT_FDCWD, page->linkPath, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0 ||
             ::linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH) == 0;
  }
  if (!placed && length > 0) placed = copyInto(fd, length, path, page->mode);
  ::close(fd);
  return placed;
}

bool ReservedFile::writeWhole(const std::string& path, std::string_view bytes, mode_t mode) {
  if (bytes.size() > size()) return false;
  const int fd = take();
  if (fd < 0) return false;
  if (::fchmod(fd, mode) != 0 || !writeAll(fd, bytes.data(), bytes.size())) {
    ::close(fd);
    return false;
  }
  return place(fd, path.c_str());
}

std::size_t ReservedFile::size() const noexcept {
  const Page* page = current_.load();
  return page != nullptr ? page->bytes : 0;
}

}  // namespace quillstone::platform
