#include "platform/time_zone.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quillstone::platform {
namespace {

TEST(TimeZoneIdentifierFromTz, DropsColonAndZoneInfoPath) {
  EXPECT_EQ(timeZoneIdentifierFromTz("Europe/Paris"), "Europe/Paris");
  EXPECT_EQ(timeZoneIdentifierFromTz(":Asia/Kolkata"), "Asia/Kolkata");
  EXPECT_EQ(timeZoneIdentifierFromTz("/usr/share/zoneinfo/America/New_York"), "America/New_York");
  EXPECT_EQ(timeZoneIdentifierFromTz(""), "");
  EXPECT_EQ(timeZoneIdentifierFromTz(nullptr), "");
}

TEST(SystemTimeZone, FollowsTzChangesWithinTheProcess) {
  const auto now = std::chrono::system_clock::now();
  // POSIX TZ strings give the offset west of UTC.
  setenv("TZ", "XXX-8", 1);
  EXPECT_EQ(systemTimeZone().secondsFromUtc(now), 8 * 3600);
  setenv("TZ", "XXX5", 1);
  EXPECT_EQ(systemTimeZone().secondsFromUtc(now), -5 * 3600);
  setenv("TZ", "XXX-5:30", 1);
  EXPECT_EQ(systemTimeZone().secondsFromUtc(now), 5 * 3600 + 30 * 60);
  EXPECT_EQ(systemTimeZone().identifier(), "XXX-5:30");
}

}  // namespace
}  // namespace quillstone::platform
