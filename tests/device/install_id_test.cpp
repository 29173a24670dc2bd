#include "device/install_id.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "support/temp_home.hpp"

namespace quillstone::device {
namespace {

using ::testing::MatchesRegex;

constexpr const char* kUuidPattern = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";

class InstallId : public ::testing::Test {
 protected:
  std::string storePath() const { return home_.path() + "/defaults.json"; }
  quillstone::testing::TempHome home_;
};

TEST_F(InstallId, IsCreatedOnceAndKeptAcrossLaunches) {
  std::string first;
  {
    platform::FileDefaultsStore store(storePath());
    first = installId(store);
    EXPECT_THAT(first, MatchesRegex(kUuidPattern));
    EXPECT_EQ(installId(store), first);
    EXPECT_EQ(store.string("qs_device_id"), first);
  }
  platform::FileDefaultsStore nextLaunch(storePath());
  EXPECT_EQ(installId(nextLaunch), first);
}

TEST_F(InstallId, RemovedEntryIsReplacedByANewId) {
  std::string first;
  {
    platform::FileDefaultsStore store(storePath());
    first = installId(store);
  }
  std::remove(storePath().c_str());
  platform::FileDefaultsStore fresh(storePath());
  const std::string second = installId(fresh);
  EXPECT_THAT(second, MatchesRegex(kUuidPattern));
  EXPECT_NE(second, first);
  EXPECT_EQ(fresh.string("qs_device_id"), second);
}

TEST_F(InstallId, StoredTextIsReturnedAsItIsEvenWhenEmpty) {
  platform::FileDefaultsStore store(storePath());
  store.setValue("qs_device_id", "");
  EXPECT_EQ(installId(store), "");
  EXPECT_EQ(store.string("qs_device_id"), "");
  store.setValue("qs_device_id", "not-a-uuid");
  EXPECT_EQ(installId(store), "not-a-uuid");
}

TEST_F(InstallId, NonTextEntryIsReplaced) {
  platform::FileDefaultsStore store(storePath());
  store.setValue("qs_device_id", 17);
  const std::string id = installId(store);
  EXPECT_THAT(id, MatchesRegex(kUuidPattern));
  EXPECT_EQ(store.string("qs_device_id"), id);
}

TEST_F(InstallId, ConcurrentFirstReadsAgreeOnOneId) {
  platform::FileDefaultsStore store(storePath());
  constexpr int kThreads = 16;
  std::vector<std::string> ids(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { ids[static_cast<std::size_t>(i)] = installId(store); });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
  platform::FileDefaultsStore reread(storePath());
  EXPECT_EQ(reread.string("qs_device_id"), ids.front());
}

}  // namespace
}  // namespace quillstone::device
