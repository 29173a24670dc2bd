// Files and private directories.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillstone::platform {

// The whole content of a file, or nullopt when it cannot be read.
std::optional<std::string> readFile(const std::string& path);

// What reading a whole file found. A file that is not there is told apart from one that could
// not be read (no free descriptor, a directory in its place, an I/O error): only the first may
// be taken as empty and replaced.
struct FileRead {
  enum class Status { read, missing, failed };
  Status status = Status::failed;
  std::string bytes;  // the content when read
};
FileRead readFileChecked(const std::string& path);

// Replaces `path` with `bytes` so that a reader, or a process killed at any moment, sees either
// the old content or the new one: temporary file, fsync, rename, fsync of the directory.
// The file gets exactly `mode`. Returns false when the file could not be replaced.
bool writeFileAtomically(const std::string& path, std::string_view bytes, mode_t mode);

// Like writeFileAtomically, but returns once the file is renamed into place, without waiting
// for the disk: until syncFileToDisk(path) has run, a power cut may leave the new file empty or
// partial. Only for a file whose reader takes such a file for what was there before.
bool replaceFileUnsynced(const std::string& path, std::string_view bytes, mode_t mode);

// Waits until the file at `path` and its directory entry are on the disk.
void syncFileToDisk(const std::string& path);

// Removes the temporary files writeFileAtomically left directly inside `directory` for the file
// named `target` (for any file there when `target` is empty) when their writer was killed
// mid-write: only regular files not modified for `age`, so that another process's write in
// progress keeps its file.
void removeStaleTemporaries(const std::string& directory, std::string_view target,
                            std::chrono::seconds age);

// The mode of the library's own directories, like an app's sandbox.
constexpr mode_t kPrivateDirectoryMode = 0700;

// Creates `path` and any missing parents with mode 0700, like an app's sandbox; an existing
// final directory is narrowed to 0700. Returns false when `path` is not a directory afterwards.
bool makePrivateDirectories(const std::string& path);

// True when `path` is a directory this process may create files in (on a file system mounted
// for writing).
bool isWritableDirectory(const std::string& path);

// True when `path` is such a directory, or is missing and the nearest of its parents that exists
// is one, so that makePrivateDirectories could make it. Only looks: it makes nothing.
bool isWritableOrCreatableDirectory(const std::string& path);

// The names of the entries directly inside `directory`, without "." and "..", in the order the
// file system gives them; empty when it cannot be read.
std::vector<std::string> listDirectory(const std::string& directory);

// Deletes the file at `path`; false when it could not be deleted.
bool removeFile(const std::string& path);

}  // namespace quillstone::platform
