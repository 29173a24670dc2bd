#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <queue>
#include <vector>

#include "platform/fork_safe.hpp"
#include "platform/threads.hpp"
#include "platform/worker.hpp"

namespace quillstone::platform {
namespace {

// A background thread's nice value: below the host's threads, like a utility-class queue.
constexpr int kLowPriorityNice = 10;

class ThreadWorker final : public Worker {
 public:
  void schedule(std::chrono::milliseconds delay, std::function<void()> work) override {
    std::lock_guard lock(mutex_);
    items_.push(Item{Clock::now() + delay, sequence_++, std::move(work)});
    if (!started_) {
      started_ = true;
      startLibraryThread("qs-worker", [this] { run(); }).detach();
    }
    changed_.notify_one();
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Item {
    Clock::time_point deadline;
    std::uint64_t sequence;  // keeps items with equal deadlines in scheduling order
    std::function<void()> work;
    bool operator>(const Item& other) const {
      return deadline != other.deadline ? deadline > other.deadline : sequence > other.sequence;
    }
  };

  void run() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kLowPriorityNice);
    std::unique_lock lock(mutex_);
    for (;;) {
      if (items_.empty()) {
        changed_.wait(lock);
        continue;
      }
      const auto deadline = items_.top().deadline;
      if (Clock::now() < deadline) {
        changed_.wait_until(lock, deadline);
        continue;
      }
      auto work = std::move(const_cast<Item&>(items_.top()).work);
      items_.pop();
      lock.unlock();
      runAndRelease(std::move(work));
      lock.lock();
    }
  }

  // Runs and destroys the item without the lock held, so it may schedule more work.
  static void runAndRelease(std::function<void()> work) {
    try {
      work();
    } catch (...) {
      // One item's failure must not end the worker.
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::priority_queue<Item, std::vector<Item>, std::greater<>> items_;
  std::uint64_t sequence_ = 0;
  bool started_ = false;
};

// The worker of this process. A forked child inherits the parent's worker without its thread:
// the work queued there is the parent's and runs in the parent only. The child leaves it, never
// released (its lock may be held for ever), and gets a worker of its own on first use.
class PerProcessWorker final : public Worker {
 public:
  void schedule(std::chrono::milliseconds delay, std::function<void()> work) override {
    renewal_.renewIfForked(
        [this] { current_.store(new ThreadWorker(), std::memory_order_release); });
    current_.load(std::memory_order_acquire)->schedule(delay, std::move(work));
  }

 private:
  ForkRenewal renewal_;
  std::atomic<ThreadWorker*> current_{nullptr};
};

}  // namespace

Worker& systemWorker() noexcept {
  static Worker* worker = new PerProcessWorker();
  return *worker;
}

}  // namespace quillstone::platform
