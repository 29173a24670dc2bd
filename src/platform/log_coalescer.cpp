#include "platform/log_coalescer.hpp"

namespace quillstone::platform {

LogCoalescer::LogCoalescer(Log& log, std::chrono::milliseconds interval, Summary summary,
                           Clock clock)
    : log_(log),
      interval_(std::chrono::duration_cast<std::chrono::steady_clock::duration>(interval).count()),
      summary_(std::move(summary)),
      clock_(std::move(clock)) {}

void LogCoalescer::write(std::string_view message) noexcept {
  try {
    const std::int64_t now = clock_().time_since_epoch().count();
    const std::int64_t previousEvent = lastEvent_.exchange(now);
    std::int64_t start = windowStart_.load();
    // Within the current interval, or another thread is writing this interval's line.
    if ((start != kNever && now - start < interval_) ||
        !windowStart_.compare_exchange_strong(start, now)) {
      ++uncounted_;
      return;
    }
    const std::uint64_t waiting = uncounted_.exchange(0);
    const bool burstOver = previousEvent == kNever || now - previousEvent >= interval_;
    if (!burstOver) {
      log_.write(summary_(waiting + 1));
      return;
    }
    if (waiting > 0) log_.write(summary_(waiting));
    log_.write(message);
  } catch (...) {
    // A line that cannot be put together is left out; the caller goes on.
  }
}

}  // namespace quillstone::platform
