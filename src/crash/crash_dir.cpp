#include "crash/crash_dir.hpp"

#include "platform/files.hpp"
#include "platform/paths.hpp"

namespace quillstone::crash {

std::string crashDirectoryPath() { return platform::cachesDirectory() + "/quillstone"; }

std::string crashDirectory() {
  std::string directory = crashDirectoryPath();
  platform::makePrivateDirectories(directory);
  return directory;
}

bool crashDirectoryWritable(const std::string& directory) {
  return platform::isWritableOrCreatableDirectory(directory);
}

}  // namespace quillstone::crash
