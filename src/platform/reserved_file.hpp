// A file reserved while the process is healthy, so that a dying process can still write one when
// the disk is full or no descriptor is free: an open descriptor with its space allocated, given
// its name only once it is written.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/fork_safe.hpp"

namespace quillstone::platform {

class ReservedFile {
 public:
  static constexpr std::size_t kPathCapacity = 1024;

  // Makes sure this process holds a reservation of `bytes` bytes for a file in `directory`. The
  // one it holds is kept unless another process made it (this one is a fork), it lies in another
  // directory, or its descriptor is no longer that file (the host closed or reused it). The
  // reservation has no name: nothing is left behind when the process ends without using it.
  // Where the file system cannot make a file without a name, it is the file `fallbackPrefix`
  // followed by the process id, which must lie outside `directory` on the same file system;
  // such files of processes that have ended are removed. Does nothing once the reservation was
  // taken. Returns false when there is none. Ordinary code, callable from any thread.
  bool prepare(const std::string& directory, const std::string& fallbackPrefix, std::size_t bytes,
               mode_t mode);

  // Async-signal-safe: the descriptor of the reservation, positioned at its start, for one
  // file; -1 when there is none to use. Only the first call in a process gets it.
  int take() noexcept;

  // Async-signal-safe: gives the bytes written to `fd` (from take) the name `path`, replacing a
  // file of that name, and closes `fd`. The file keeps only the bytes written. When it cannot
  // be named, the bytes are copied into `path` opened the ordinary way. False when no file was
  // left at `path`.
  bool place(int fd, const char* path) noexcept;

  // Ordinary code: `bytes` as the file `path` with exactly `mode`, through the reservation when
  // they fit in it. False when nothing was written.
  bool writeWhole(const std::string& path, std::string_view bytes, mode_t mode);

  // The bytes reserved, 0 when there is no reservation. Async-signal-safe.
  std::size_t size() const noexcept;

 private:
  struct Page {
    int fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    pid_t owner = 0;
    std::size_t bytes = 0;
    mode_t mode = 0;
    bool named = false;      // a file with a name, placed by renaming it
    char linkPath[32] = {};  // /proc/self/fd/<fd>, to link a file without a name
    char namedPath[kPathCapacity] = {};
    char directory[kPathCapacity] = {};
  };

  bool stillHeld(const Page& page) const noexcept;

  Page pages_[2]{};
  std::atomic<const Page*> current_{nullptr};
  std::atomic<const Page*> taken_{nullptr};
  std::atomic<bool> takenOnce_{false};
  platform::ForkSafeMutex preparing_;
};

}  // namespace quillstone::platform
