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

// The note as the toolchain reports it, read from the file rather than from the loader.
std::string buildIdFromReadelf() {
  const std::string command = "readelf -n '" + platform::executablePath() + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return {};
  char line[512];
  const std::string marker = "Build ID: ";
  while (fgets(line, sizeof line, pipe.get()) != nullptr) {
    const std::string text = line;
    const auto at = text.find(marker);
    if (at != std::string::npos) return text.substr(at + marker.size(), 32);
  }
  return {};
}

TEST(ImageUuid, IsTheMainProgramsBuildIdAndStable) {
  const std::string uuid = imageUUID();
  EXPECT_THAT(uuid, ::testing::MatchesRegex(
                        "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}"));
  EXPECT_EQ(imageUUID(), uuid);
  std::string hex = buildIdFromReadelf();
  if (hex.empty()) GTEST_SKIP() << "readelf is not available";
  for (auto& c : hex) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::string plain = uuid;
  std::erase(plain, '-');
  EXPECT_EQ(plain, hex);
}

}  // namespace
}  // namespace quillstone::crash
