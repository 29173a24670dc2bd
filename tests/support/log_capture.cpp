#include "support/log_capture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/wait.hpp"

namespace quillstone::testing {

StderrCapture::StderrCapture() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/qs-stderr-XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return;
  path_ = pattern;
  savedStderr_ = dup(STDERR_FILENO);
  dup2(fd, STDERR_FILENO);
  close(fd);
}

StderrCapture::~StderrCapture() {
  if (savedStderr_ >= 0) {
    dup2(savedStderr_, STDERR_FILENO);
    close(savedStderr_);
  }
  if (!path_.empty()) unlink(path_.c_str());
}

std::string StderrCapture::text() const {
  std::ifstream file(path_, std::ios::binary);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

bool StderrCapture::waitFor(const std::string& needle, std::chrono::milliseconds timeout) const {
  return waitUntil([&] { return text().find(needle) != std::string::npos; }, timeout);
}

}  // namespace quillstone::testing
