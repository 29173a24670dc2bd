#include "platform/worker.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "support/wait.hpp"

namespace quillstone::platform {
namespace {

using namespace std::chrono_literals;

TEST(Worker, RunsItemsByDeadlineNotBySchedulingOrder) {
  std::mutex mutex;
  std::vector<int> order;
  auto record = [&](int n) {
    return [&, n] {
      std::lock_guard lock(mutex);
      order.push_back(n);
    };
  };
  systemWorker().schedule(300ms, record(3));
  systemWorker().schedule(0ms, record(1));
  systemWorker().schedule(100ms, record(2));
  systemWorker().schedule(100ms, record(22));
  ASSERT_TRUE(testing::waitUntil([&] {
    std::lock_guard lock(mutex);
    return order.size() == 4;
  }));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 22, 3}));
}

TEST(Worker, WaitsForTheDelayAndSurvivesAFailingItem) {
  const auto scheduled = std::chrono::steady_clock::now();
  std::atomic<bool> ran{false};
  std::chrono::steady_clock::time_point ranAt;
  systemWorker().schedule(0ms, [] { throw std::runtime_error("item failed"); });
  systemWorker().schedule(150ms, [&] {
    ranAt = std::chrono::steady_clock::now();
    ran = true;
  });
  ASSERT_TRUE(testing::waitUntil([&] { return ran.load(); }));
  EXPECT_GE(ranAt - scheduled, 150ms);
}

}  // namespace
}  // namespace quillstone::platform
