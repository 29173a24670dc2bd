// A fresh, empty home directory for one test: HOME points at it and the XDG variables are unset,
// so every file the library writes lands inside it.
#pragma once

#include <string>

namespace quillstone::testing {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previousHome_;
};

// Removes `path` and everything below it.
void removeTree(const std::string& path);

}  // namespace quillstone::testing
