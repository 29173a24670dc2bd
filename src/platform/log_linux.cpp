#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "platform/bundle.hpp"
#include "platform/fork_safe.hpp"
#include "platform/log.hpp"
#include "platform/log_handler.hpp"
#include "platform/threads.hpp"
#include "platform/worker.hpp"

namespace quillstone::platform {
namespace {

// The longest a line waits for room in a full stderr pipe before it is dropped. Only the first
// line waits: after a wait ran out, lines wait no more until one has been written.
constexpr std::chrono::milliseconds kFullPipeWait{50};
// Up to this size a pipe takes a line whole once it has room; a longer line could block half
// written, so a line is cut to it.
constexpr std::size_t kMaxLineBytes = PIPE_BUF;

std::atomic<bool> stderrStalled{false};
// Cleared at the first pipe write the kernel refuses to make without waiting (an older kernel).
std::atomic<bool> pipesTakeNoWait{true};

// The local time's offset from UTC as last seen, for a forked child.
std::atomic<long> lastUtcOffset{0};

std::tm localTime(std::time_t seconds) {
  std::tm local{};
  localtime_r(&seconds, &local);
  lastUtcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
  return local;
}

// Seen once while the library loads, so that a child of a process that never logged has it too.
const bool offsetSeen = (localTime(std::time(nullptr)), true);

// The C library converts times under a lock of its own, which a forked child inherits held when
// another thread of the parent was converting one: a child never converts through it, but shifts
// UTC by the offset its parent saw last and counts the date itself.
std::tm localTimeInChild(std::time_t seconds) {
  const long local = seconds + lastUtcOffset.load(std::memory_order_relaxed);
  const long secondOfDay = ((local % 86400) + 86400) % 86400;
  // Days since 1970-01-01 to a civil date, in 400-year eras that start on a March 1st.
  const long days = (local - secondOfDay) / 86400 + 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const long dayOfEra = days - era * 146097;
  const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long monthFromMarch = (5 * dayOfYear + 2) / 153;
  std::tm tm{};
  tm.tm_mday = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  tm.tm_mon = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 2 : monthFromMarch - 10);
  tm.tm_year = static_cast<int>(yearOfEra + era * 400 + (tm.tm_mon <= 1 ? 1 : 0) - 1900);
  tm.tm_hour = static_cast<int>(secondOfDay / 3600);
  tm.tm_min = static_cast<int>(secondOfDay / 60 % 60);
  tm.tm_sec = static_cast<int>(secondOfDay % 60);
  return tm;
}

// "YYYY-MM-DD HH:MM:SS.mmm" in local time.
std::string timestamp() {
  (void)offsetSeen;
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::tm local = forkGeneration() == 0 ? localTime(seconds) : localTimeInChild(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(millis));
  return text;
}

// Cuts `line` to `limit` bytes before a UTF-8 lead byte, so no character is split.
void cutAtCharacter(std::string& line, std::size_t limit) {
  if (line.size() <= limit) return;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
  line.resize(end);
}

// Waits, bounded, until stderr can take a line. A regular file or a terminal that is not held
// is ready at once; a descriptor that is closed or broken is "ready" too, and the write fails.
bool stderrReady() {
  const auto wait =
      stderrStalled.load(std::memory_order_relaxed) ? std::chrono::milliseconds(0) : kFullPipeWait;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    pollfd target{STDERR_FILENO, POLLOUT, 0};
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int ready = poll(&target, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (ready > 0) {
      stderrStalled.store(false, std::memory_order_relaxed);
      return true;
    }
    if (ready == 0) {
      stderrStalled.store(true, std::memory_order_relaxed);
      return false;
    }
    if (errno != EINTR) return false;
  }
}

// The wait above leaves a window: another writer may fill the pipe before this write. Where the
// kernel can say "would block" for one call without the descriptor's flags (pipes with
// RWF_NOWAIT, sockets with MSG_DONTWAIT), the line is dropped then; elsewhere it is a plain write.
ssize_t writeWithoutWaiting(const std::string& line) {
  struct stat target {};
  if (fstat(STDERR_FILENO, &target) == 0) {
    if (S_ISSOCK(target.st_mode))
      return send(STDERR_FILENO, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (S_ISFIFO(target.st_mode) && pipesTakeNoWait.load(std::memory_order_relaxed)) {
      iovec whole{const_cast<char*>(line.data()), line.size()};
      const ssize_t written = pwritev2(STDERR_FILENO, &whole, 1, -1, RWF_NOWAIT);
      if (written >= 0 || (errno != EOPNOTSUPP && errno != EINVAL && errno != ENOSYS))
        return written;
      pipesTakeNoWait.store(false, std::memory_order_relaxed);
    }
  }
  return ::write(STDERR_FILENO, line.data(), line.size());
}

// The write raises SIGPIPE on the calling thread when the pipe's reader is gone. The signal is
// blocked around the write and the one it raised is taken back, so the host's disposition (by
// default: end the process) never sees it. A SIGPIPE that was pending before is the host's and
// stays pending.
void writeWithoutSigpipe(const std::string& line) {
  sigset_t pipeSignal;
  sigemptyset(&pipeSignal);
  sigaddset(&pipeSignal, SIGPIPE);
  sigset_t previousMask;
  if (pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask) != 0) return;
  sigset_t pending;
  sigemptyset(&pending);
  const bool pendingBefore = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
  if (stderrReady()) {
    ssize_t written;
    do {
      written = writeWithoutWaiting(line);
    } while (written < 0 && errno == EINTR);
    if (written < 0 && errno == EPIPE && !pendingBefore) {
      const timespec noWait{};
      while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
  }
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
}

class ConsoleLog final : public Log {
 public:
  void write(std::string_view message) noexcept override {
    // The host's handler is host code: a line from the thread that drives the network reaches it
    // on the worker's thread, so that a slow handler never holds up delivery.
    if (onNetworkThread() && logHandlerSet()) {
      try {
        systemWorker().schedule(std::chrono::milliseconds(0),
                                [line = std::string(message)] { systemLog().write(line); });
        return;
      } catch (...) {
        // Without memory for the hand-over the line goes to stderr.
      }
    } else if (passToLogHandler(message)) {
      return;
    }
    writeToStderr(message);
  }
};

}  // namespace

void writeToStderr(std::string_view message) noexcept {
  try {
    std::string line = timestamp();
    line += ' ';
    line += executableName();
    line += '[' + std::to_string(getpid()) + ':' + std::to_string(syscall(SYS_gettid)) + "] ";
    line += message;
    cutAtCharacter(line, kMaxLineBytes - 1);
    line += '\n';
    // One write(2) per line, so lines from several threads never interleave.
    writeWithoutSigpipe(line);
  } catch (...) {
    // Logging must never fail the caller.
  }
}

Log& systemLog() noexcept {
  static Log* log = new ConsoleLog();
  return *log;
}

}  // namespace quillstone::platform
