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
    open_ = 0;
  });
}

std::uint64_t FlushLedger::begin() {
  renewIfForked();
  std::lock_guard lock(mutex_);
  ++open_;
  return ++lastTicket_;
}

void FlushLedger::end(std::uint64_t ticket, bool delivered) {
  renewIfForked();
  bool notify = false;
  {
    std::lock_guard lock(mutex_);
    --open_;
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
  Waiter waiter{lastTicket_, open_, true};
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
