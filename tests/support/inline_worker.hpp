// A worker that runs each item at once on the scheduling thread, ignoring the delay.
#pragma once

#include <functional>

#include "platform/worker.hpp"

namespace quillstone::testing {

class InlineWorker final : public platform::Worker {
 public:
  void schedule(std::chrono::milliseconds, std::function<void()> work) override { work(); }
};

}  // namespace quillstone::testing
