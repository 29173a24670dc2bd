#include "attribution/device_id.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <latch>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "platform/files.hpp"
#include "support/temp_home.hpp"

namespace quillstone::attribution {
namespace {

bool isUuid(const std::string& text) {
  static const std::regex pattern("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
  return std::regex_match(text, pattern);
}

class DeviceIdTest : public ::testing::Test {
 protected:
  std::string directory() const { return home.path() + "/data"; }
  std::string file() const { return directory() + "/keychain.json"; }

  testing::TempHome home;
};

TEST_F(DeviceIdTest, FirstReadCreatesAUuidThatLaterReadsReturn) {
  platform::FileKeychain keychain(file());
  DeviceIdSource source(keychain);
  const std::string id = source.deviceId();
  EXPECT_TRUE(isUuid(id)) << id;
  EXPECT_EQ(source.deviceId(), id);

  // A later process reads the same item.
  platform::FileKeychain reopened(file());
  DeviceIdSource later(reopened);
  EXPECT_EQ(later.deviceId(), id);
  EXPECT_EQ(reopened.copy(kDeviceIdAccount), id);
}

TEST_F(DeviceIdTest, StoredTextIsReturnedUnchanged) {
  platform::FileKeychain keychain(file());
  ASSERT_TRUE(keychain.add(kDeviceIdAccount, "legacy id \xE2\x9C\x93"));
  DeviceIdSource source(keychain);
  EXPECT_EQ(source.deviceId(), "legacy id \xE2\x9C\x93");
}

struct BrokenStore {
  const char* name;
  std::string fileContent;
};

void PrintTo(const BrokenStore& c, std::ostream* out) { *out << c.name; }

class DeviceIdRepair : public DeviceIdTest, public ::testing::WithParamInterface<BrokenStore> {};

TEST_P(DeviceIdRepair, BrokenItemGivesANewIdThatIsStoredForLaterReads) {
  ASSERT_TRUE(platform::makePrivateDirectories(directory()));
  ASSERT_TRUE(platform::writeFileAtomically(file(), GetParam().fileContent, 0600));
  platform::FileKeychain keychain(file());
  DeviceIdSource source(keychain);
  const std::string id = source.deviceId();
  EXPECT_TRUE(isUuid(id)) << id;
  EXPECT_EQ(keychain.copy(kDeviceIdAccount), id);
  EXPECT_EQ(source.deviceId(), id);
}

const BrokenStore kBroken[] = {
    // "/w==" is the single byte 0xFF.
    {"ItemNotUtf8", R"({"quillstone_device_id":{"data":"/w==","accessible":"afterFirstUnlock"}})"},
    {"ItemNotBase64", R"({"quillstone_device_id":{"data":"**","accessible":"afterFirstUnlock"}})"},
    {"ItemEmpty", R"({"quillstone_device_id":{"data":"","accessible":"afterFirstUnlock"}})"},
    {"ItemNotAnObject", R"({"quillstone_device_id":"plain"})"},
    {"FileNotJson", "{\"quillstone_device_id\":{\"da"},
    {"FileNotUtf8", "\xff\xfe\xfd"},
};

INSTANTIATE_TEST_SUITE_P(Table, DeviceIdRepair, ::testing::ValuesIn(kBroken),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeviceIdTest, UnreadableKeychainKeepsOneIdInMemory) {
  // A directory where the file should be can be neither read nor replaced.
  ASSERT_EQ(::mkdir(directory().c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(file().c_str(), 0700), 0);
  platform::FileKeychain keychain(file());
  DeviceIdSource source(keychain);
  const std::string first = source.deviceId();
  const std::string second = source.deviceId();
  EXPECT_TRUE(isUuid(first)) << first;
  EXPECT_EQ(first, second);
}

TEST_F(DeviceIdTest, UnwritableKeychainGivesANewIdOnEveryRead) {
  // A plain file where the keychain's directory should be.
  std::ofstream(directory()) << "in the way";
  platform::FileKeychain keychain(file());
  DeviceIdSource source(keychain);
  std::set<std::string> ids;
  for (int i = 0; i < 3; ++i) ids.insert(source.deviceId());
  EXPECT_EQ(ids.size(), 3u);
  for (const auto& id : ids) EXPECT_TRUE(isUuid(id)) << id;
}

TEST_F(DeviceIdTest, ConcurrentFirstReadersShareOneId) {
  constexpr int kReaders = 8;
  for (int attempt = 0; attempt < 5; ++attempt) {
    const std::string path = file() + std::to_string(attempt);
    platform::FileKeychain keychain(path);
    DeviceIdSource source(keychain);
    std::vector<std::string> ids(kReaders);
    std::latch ready(kReaders);
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
      readers.emplace_back([&, i] {
        ready.arrive_and_wait();
        ids[i] = source.deviceId();
      });
    }
    for (auto& reader : readers) reader.join();
    for (const auto& id : ids) EXPECT_EQ(id, ids.front()) << "attempt " << attempt;
    EXPECT_EQ(keychain.copy(kDeviceIdAccount), ids.front());
  }
}

}  // namespace
}  // namespace quillstone::attribution
