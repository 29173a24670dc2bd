#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/bundle.hpp"
#include "platform/log.hpp"

namespace quillstone::platform {
namespace {

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string timestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

class StderrLog final : public Log {
 public:
  void write(std::string_view message) noexcept override {
    try {
      std::string line = timestamp();
      line += ' ';
      line += executableName();
      line += '[' + std::to_string(getpid()) + ':' + std::to_string(syscall(SYS_gettid)) + "] ";
      line += message;
      line += '\n';
      // One write(2) per line, so lines from several threads never interleave.
      ssize_t written;
      do {
        written = ::write(STDERR_FILENO, line.data(), line.size());
      } while (written < 0 && errno == EINTR);
    } catch (...) {
      // Logging must never fail the caller.
    }
  }
};

}  // namespace

Log& systemLog() noexcept {
  static Log* log = new StderrLog();
  return *log;
}

}  // namespace quillstone::platform
