// Console log: one line per message on stderr, or to the host's own log handler when it set one.
#pragma once

#include <functional>
#include <string_view>

namespace quillstone::platform {

class Log {
 public:
  virtual ~Log() = default;
  // Writes one message. The message is plain text, never a format string.
  virtual void write(std::string_view message) noexcept = 0;
};

// The process-wide console log, created on first use and never destroyed. A message goes to the
// host's handler when one is set, otherwise to stderr (see writeToStderr).
Log& systemLog() noexcept;

// Receives each message's text, without time stamp or line break, on the thread that writes it.
// The characters are always followed by a NUL, so a C handler can be handed data() as it is.
using LogHandler = std::function<void(std::string_view message)>;

// Routes the console log to `handler`, or back to stderr when it is empty. When it returns, the
// handler it replaced is running nowhere and is never called again, unless a handler called it
// (it cannot wait for itself: then it waits for nothing). A message the handler writes, or one
// written while it runs on the same thread, goes to stderr rather than back into the handler.
void setLogHandler(LogHandler handler) noexcept;

// One line on stderr with a single write(2). Never raises SIGPIPE (a pipe whose reader is gone)
// and never waits long for a full pipe: the line is dropped instead. Descriptor 2's flags are the
// host's and stay untouched.
void writeToStderr(std::string_view message) noexcept;

}  // namespace quillstone::platform
