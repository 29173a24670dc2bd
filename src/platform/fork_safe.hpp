// State a forked child starts afresh. After fork() only the forking thread exists in the child:
// a lock another thread held stays held for ever, and work queued for the library's threads never
// runs. Each process counts the forks that led to it, and state stamped with an older count is
// renewed on its first use in the child, exactly once, before any other use goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>

namespace quillstone::platform {

// How many forks lie between the process the library was loaded in and this one.
std::uint64_t forkGeneration() noexcept;

// Renews its owner's state on the owner's first use in each process: the one it was made in, and
// each forked child.
class ForkRenewal {
 public:
  constexpr ForkRenewal() noexcept = default;

  // Whether the state was renewed in this process already.
  bool renewedHere() const noexcept {
    return seen_.load(std::memory_order_acquire) == forkGeneration() << 1;
  }

  // Runs `renew` when this is the first use in this process; every other caller
  // waits until it has run. `renew` must not throw and must not use its owner's locks, which it
  // re-makes: the threads that held them do not exist in this process.
  template <class Renew>
  void renewIfForked(Renew&& renew) noexcept {
    const std::uint64_t done = forkGeneration() << 1;
    std::uint64_t seen = seen_.load(std::memory_order_acquire);
    while (seen != done) {
      // A renewal begun in an earlier process never ends here; only one of this process counts.
      if (seen == (done | 1)) {
        std::this_thread::yield();
        seen = seen_.load(std::memory_order_acquire);
        continue;
      }
      if (seen_.compare_exchange_weak(seen, done | 1, std::memory_order_acq_rel)) {
        renew();
        seen_.store(done, std::memory_order_release);
        return;
      }
    }
  }

 private:
  // The generation renewed for, shifted left; the low bit is set while the renewal runs. No
  // process reaches the initial value, so the first use anywhere renews.
  std::atomic<std::uint64_t> seen_{~std::uint64_t{0} << 1};
};

// A mutex that is unlocked again in a forked child, however the parent's threads held it.
// Locked and unlocked like std::mutex.
class ForkSafeMutex {
 public:
  constexpr ForkSafeMutex() noexcept = default;

  void lock() {
    renewal_.renewIfForked([this] { new (&mutex_) std::mutex(); });
    mutex_.lock();
  }
  bool try_lock() {
    renewal_.renewIfForked([this] { new (&mutex_) std::mutex(); });
    return mutex_.try_lock();
  }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
  ForkRenewal renewal_;
};

}  // namespace quillstone::platform
