// Console log: one line per message on stderr.
#pragma once

#include <string_view>

namespace quillstone::platform {

class Log {
 public:
  virtual ~Log() = default;
  // Writes one message. The message is plain text, never a format string.
  virtual void write(std::string_view message) noexcept = 0;
};

// The process-wide console log (stderr), created on first use and never destroyed.
Log& systemLog() noexcept;

}  // namespace quillstone::platform
