#include "transport/flush_ledger.hpp"

#include <algorithm>
#include <new>

namespace quillstone::transport {
namespace {

constexpr std::chrono::milliseconds kLongestWait = std::chrono::hours(24 * 365 * 100);

}  // namespace

void FlushLedger::renewIfForked() noexcept {
  renewal_.renewIfForked([this] {
    // Left unreleased: the parent's threads may have been changing them.
    new (&mutex_) std::mutex();
    new (&ended_) std::condition_variable();
    new (&waiters_) std::vector<Waiter*>();
    endedCount_ = lastTicket_.load();
  });
}

std::uint64_t FlushLedger::begin() {
  renewIfForked();
  return lastTicket_.fetch_add(1) + 1;
}

void FlushLedger::end(std::uint64_t ticket, bool delivered) {
  renewIfForked();
  bool notify = false;
  {
    std::lock_guard lock(mutex_);
    ++endedCount_;
    // Tickets are handed out in order, so a post begun before a flush has a ticket no later
    // than the flush's last one: counting those is enough, no post needs to be remembered.
    for (Waiter* waiter : waiters_) {
      if (ticket > waiter->lastTicket) continue;
      --waiter->open;
      if (!delivered) waiter->allDelivered = false;
      notify = notify || waiter->open == 0;
    }
  }
  if (notify) ended_.notify_all();
}

bool FlushLedger::waitForOpen(std::chrono::milliseconds timeout) {
  renewIfForked();
  std::unique_lock lock(mutex_);
  // No post can end while the lock is held, so every ended one has a ticket up to `last`.
  const std::uint64_t last = lastTicket_.load();
  Waiter waiter{last, static_cast<std::size_t>(last - endedCount_), true};
  if (waiter.open == 0) return true;
  waiters_.push_back(&waiter);
  // The wait's deadline is the clock's now plus the timeout: a caller's "for ever"
  // (milliseconds::max()) would overflow it into the past.
  const bool ended = ended_.wait_for(lock, std::min(timeout, kLongestWait),
                                     [&waiter] { return waiter.open == 0; });
  std::erase(waiters_, &waiter);
  return ended && waiter.allDelivered;
}

}  // namespace quillstone::transport
