// Delayed background work on one low-priority thread.
#pragma once

#include <chrono>
#include <functional>

namespace quillstone::platform {

class Worker {
 public:
  virtual ~Worker() = default;
  // Runs `work` on the worker's thread once `delay` has passed. Returns at once.
  virtual void schedule(std::chrono::milliseconds delay, std::function<void()> work) = 0;
};

// The process-wide worker, created on first use and never destroyed; its thread starts with
// the first scheduled item.
Worker& systemWorker() noexcept;

}  // namespace quillstone::platform
