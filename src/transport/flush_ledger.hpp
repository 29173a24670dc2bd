// Which posts are still open, so that a flush can wait for those made before it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/fork_safe.hpp"

namespace quillstone::transport {

class FlushLedger {
 public:
  // Notes a post that has begun; its ticket goes to end().
  std::uint64_t begin();
  // Notes that the post `ticket` has ended and whether it was delivered.
  void end(std::uint64_t ticket, bool delivered);
  // Waits until every post begun before the call has ended or `timeout` has passed; true when
  // all of them ended delivered.
  bool waitForOpen(std::chrono::milliseconds timeout);

 private:
  // One waiting flush: the last ticket it waits for and how many of its posts are still open.
  struct Waiter {
    std::uint64_t lastTicket;
    std::size_t open;
    bool allDelivered;
  };

  // In a forked child the parent's posts never end: their jobs stay with the parent, which sends
  // them. The child starts with no post open and a fresh lock.
  void renewIfForked() noexcept;

  platform::ForkRenewal renewal_;
  // Handed out without the lock: a post on the host's thread never waits for a delivery's end.
  // Every ticket up to lastTicket_ has begun, and endedCount_ of them have ended (counted under
  // the lock), so the posts open at a flush are the difference, read together under the lock.
  std::atomic<std::uint64_t> lastTicket_{0};
  std::mutex mutex_;
  std::condition_variable ended_;
  std::uint64_t endedCount_ = 0;
  std::vector<Waiter*> waiters_;
};

}  // namespace quillstone::transport
