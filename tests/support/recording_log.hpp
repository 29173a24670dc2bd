// A console log that keeps its lines, for tests of modules that take a Log.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/log.hpp"

namespace quillstone::testing {

class RecordingLog final : public platform::Log {
 public:
  void write(std::string_view message) noexcept override {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(message);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace quillstone::testing
