// Writing and copying without allocation, locks or stdio: what the crash handler and the
// preparations it relies on share.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace quillstone::platform {

// Async-signal-safe: writes all of `bytes`, resuming after short writes and interruptions;
// false when the descriptor stops taking them (a full disk, say).
inline bool writeAll(int fd, const char* bytes, std::size_t length) noexcept {
  while (length > 0) {
    const ssize_t written = ::write(fd, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

inline bool writeAll(int fd, std::string_view text) noexcept {
  return writeAll(fd, text.data(), text.size());
}

// Async-signal-safe: copies `text` with a NUL after it into `buffer`; false, with nothing
// copied, when it does not fit whole.
template <std::size_t N>
bool copyWhole(char (&buffer)[N], std::string_view text) noexcept {
  if (text.size() >= N) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return true;
}

// Async-signal-safe: makes the missing directories above the file at `path`, a NUL-terminated
// text in a buffer of N bytes, each with `mode`. Those that exist are left as they are.
template <std::size_t N>
void makeParentDirectories(const char (&path)[N], mode_t mode) noexcept {
  char prefix[N];
  const std::size_t length = ::strnlen(path, N - 1);
  std::memcpy(prefix, path, length);
  prefix[length] = '\0';
  for (std::size_t i = 1; i < length; ++i) {
    if (prefix[i] != '/') continue;
    prefix[i] = '\0';
    // An existing directory fails with EEXIST, which is as good as made.
    ::mkdir(prefix, mode);
    prefix[i] = '/';
  }
}

}  // namespace quillstone::platform
