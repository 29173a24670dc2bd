#include "support/temp_home.hpp"

#include <cstdlib>
#include <filesystem>

namespace quillstone::testing {

TempHome::TempHome() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/qs-home-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  if (const char* home = std::getenv("HOME")) previousHome_ = home;
  setenv("HOME", path_.c_str(), 1);
  for (const char* variable : {"XDG_CACHE_HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME"}) {
    unsetenv(variable);
  }
}

TempHome::~TempHome() {
  setenv("HOME", previousHome_.c_str(), 1);
  removeTree(path_);
}

void removeTree(const std::string& path) {
  if (path.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

}  // namespace quillstone::testing
