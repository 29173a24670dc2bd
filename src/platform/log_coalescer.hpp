// One console line per burst of a repeated event, rather than one per event.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/log.hpp"

namespace quillstone::platform {

// The first event of a burst is written with its own text. Later ones are counted, and while
// they go on, one summary line with their count is written at most once per interval. A burst
// ends when no event came for an interval: the next event is written with its own text again,
// after a summary of the earlier burst's last uncounted events, if any. Every event is either
// written or counted in exactly one summary (the last few only once a later event comes).
//
// Any thread may call it; it takes no lock, so a forked child never inherits one held.
class LogCoalescer {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  // The summary line for `count` events not written on their own.
  using Summary = std::function<std::string(std::uint64_t count)>;

  LogCoalescer(Log& log, std::chrono::milliseconds interval, Summary summary,
               Clock clock = std::chrono::steady_clock::now);

  // One event; `message` is its own line, written when it begins a burst.
  void write(std::string_view message) noexcept;

 private:
  static constexpr std::int64_t kNever = INT64_MIN;

  Log& log_;
  const std::int64_t interval_;  // in the clock's ticks, as the times below
  const Summary summary_;
  const Clock clock_;
  std::atomic<std::int64_t> windowStart_{kNever};  // when the last line was written
  std::atomic<std::int64_t> lastEvent_{kNever};
  std::atomic<std::uint64_t> uncounted_{0};  // events since then that no line covers yet
};

}  // namespace quillstone::platform
