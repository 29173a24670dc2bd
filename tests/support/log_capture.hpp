// Captures what the process writes to stderr, where the library's console lines go.
#pragma once

#include <chrono>
#include <string>

namespace quillstone::testing {

class StderrCapture {
 public:
  StderrCapture();
  ~StderrCapture();
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;

  // Everything written so far.
  std::string text() const;
  // Waits (bounded) until the captured text contains `needle`.
  bool waitFor(const std::string& needle,
               std::chrono::milliseconds timeout = std::chrono::seconds(15)) const;

 private:
  std::string path_;
  int savedStderr_ = -1;
};

}  // namespace quillstone::testing
