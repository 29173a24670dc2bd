#include "crash/build_uuid.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "platform/bundle.hpp"

namespace quillstone::crash {
namespace {

TEST(BuildUuid, FirstSixteenBytesAsUpperCaseGroups) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 16; ++i) bytes.push_back(static_cast<std::uint8_t>(i * 0x11));
  EXPECT_EQ(formatBuildUuid(bytes), "00112233-4455-6677-8899-AABBCCDDEEFF");
  // A SHA-1 build-id has 20 bytes; only the first 16 name the image.
  bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  EXPECT_EQ(formatBuildUuid(bytes), "00112233-4455-6677-8899-AABBCCDDEEFF");
}

TEST(BuildUuid, ShortOrMissingIdGivesEmptyText) {
  EXPECT_EQ(formatBuildUuid({}), "");
  const std::array<std::uint8_t, 15> shortId{};
  EXPECT_EQ(formatBuildUuid(shortId), "");
}

// Everything `command` writes to standard output.
std::string outputOf(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return {};
  std::string output;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) output += buffer;
  return output;
}

// The first 16 bytes of the note as the toolchain reports it, read from the file rather than
// from the loader: upper-case hex without dashes, or "".
std::string buildIdFromReadelf(const std::string& path) {
  const std::string text = outputOf("readelf -n '" + path + "' 2>/dev/null");
  const std::string marker = "Build ID: ";
  const auto at = text.find(marker);
  if (at == std::string::npos) return {};
  std::string hex = text.substr(at + marker.size(), 32);
  for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return hex;
}

std::string withoutDashes(std::string uuid) {
  std::erase(uuid, '-');
  return uuid;
}

TEST(ImageUuid, IsTheMainProgramsBuildIdAndStable) {
  const std::string uuid = imageUUID();
  EXPECT_THAT(uuid, ::testing::MatchesRegex(
                        "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
  EXPECT_EQ(imageUUID(), uuid);
  const std::string hex = buildIdFromReadelf(platform::executablePath());
  if (hex.empty()) GTEST_SKIP() << "readelf is not available";
  EXPECT_EQ(withoutDashes(uuid), hex);
}

// The library leaves the build-id to its host: hosts linked with --build-id=none, a fixed id
// and --build-id=uuid each get what they chose, and only the first is told at start that its
// stacks cannot be symbolicated.
TEST(ImageUuid, FollowsTheHostsOwnBuildIdChoice) {
  const std::string noLine = "[qs] 主程序没有 build-id";
  const std::string home = ::testing::TempDir();
  const auto run = [&](const char* path) {
    return outputOf("HOME='" + home + "' '" + path + "' 2>&1");
  };

  const std::string none = run(QS_BUILD_ID_NONE_HOST);
  EXPECT_THAT(none, ::testing::HasSubstr("uuid=\n"));
  EXPECT_THAT(none, ::testing::HasSubstr(noLine));

  const std::string fixed = run(QS_BUILD_ID_FIXED_HOST);
  EXPECT_THAT(fixed, ::testing::HasSubstr("uuid=00112233-4455-6677-8899-AABBCCDDEEFF\n"));
  EXPECT_THAT(fixed, ::testing::Not(::testing::HasSubstr(noLine)));

  const std::string uuid = run(QS_BUILD_ID_UUID_HOST);
  EXPECT_THAT(uuid, ::testing::Not(::testing::HasSubstr(noLine)));
  const std::string hex = buildIdFromReadelf(QS_BUILD_ID_UUID_HOST);
  if (hex.empty()) GTEST_SKIP() << "readelf is not available";
  const auto at = uuid.find("uuid=");
  ASSERT_NE(at, std::string::npos) << uuid;
  EXPECT_EQ(withoutDashes(uuid.substr(at + 5, 36)), hex);
}

}  // namespace
}  // namespace quillstone::crash
