// Bounded polling for tests: wait for a condition, never for a fixed time.
#pragma once

#include <chrono>
#include <thread>

namespace quillstone::testing {

constexpr std::chrono::milliseconds kDefaultWait{15000};

// Polls `condition` until it holds or `timeout` passes; returns its last value.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = kDefaultWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace quillstone::testing
