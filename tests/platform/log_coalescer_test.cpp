#include "platform/log_coalescer.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/recording_log.hpp"

namespace quillstone::platform {
namespace {

using std::chrono::milliseconds;
using Lines = std::vector<std::string>;

struct BurstCase {
  const char* label;
  std::vector<int> eventSeconds;  // when each event happens
  Lines expected;
  friend void PrintTo(const BurstCase& c, std::ostream* os) { *os << c.label; }
};

class LogCoalescerTest : public ::testing::TestWithParam<BurstCase> {};

// Each event's own line names its time, so the lines show which events were written as they are.
TEST_P(LogCoalescerTest, WritesTheFirstOfABurstThenOneCountPerInterval) {
  testing::RecordingLog log;
  std::chrono::steady_clock::time_point now{};
  LogCoalescer coalescer(
      log, std::chrono::seconds(10),
      [](std::uint64_t count) { return "count " + std::to_string(count); }, [&now] { return now; });
  for (const int second : GetParam().eventSeconds) {
    now = std::chrono::steady_clock::time_point{} + std::chrono::seconds(second);
    coalescer.write("event at " + std::to_string(second));
  }
  EXPECT_EQ(log.lines(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bursts, LogCoalescerTest,
    ::testing::Values(BurstCase{"firstAsItIs", {0}, {"event at 0"}},
                      BurstCase{"repeatsWithinTheIntervalAreCounted", {0, 1, 2, 9}, {"event at 0"}},
                      BurstCase{"oneCountPerIntervalWhileTheBurstGoesOn",
                                {0, 1, 5, 10, 11, 19, 20, 21},
                                {"event at 0", "count 3", "count 3"}},
                      BurstCase{"aQuietIntervalEndsTheBurst",
                                {0, 1, 2, 13, 14},
                                {"event at 0", "count 2", "event at 13"}},
                      BurstCase{"loneEventsAsTheyAre",
                                {0, 10, 25},
                                {"event at 0", "event at 10", "event at 25"}}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace quillstone::platform
