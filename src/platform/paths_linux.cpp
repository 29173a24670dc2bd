#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/bundle.hpp"
#include "platform/paths.hpp"

namespace quillstone::platform {
namespace {

bool isAbsolute(const char* path) { return path != nullptr && path[0] == '/'; }

// An XDG base directory: the variable when it holds an absolute path, else $HOME/<fallback>.
std::string baseDirectory(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  if (isAbsolute(value)) return value;
  return homeDirectory() + "/" + fallback;
}

}  // namespace

std::string homeDirectory() {
  const char* home = std::getenv("HOME");
  if (isAbsolute(home)) return home;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      isAbsolute(found->pw_dir)) {
    return found->pw_dir;
  }
  return {};
}

std::string cachesDirectory() {
  return baseDirectory("XDG_CACHE_HOME", ".cache") + "/" + appName();
}

std::string configDirectory() {
  return baseDirectory("XDG_CONFIG_HOME", ".config") + "/" + appName();
}

std::string dataDirectory() {
  return baseDirectory("XDG_DATA_HOME", ".local/share") + "/" + appName();
}

}  // namespace quillstone::platform
