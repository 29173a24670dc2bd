#include <sys/stat.h>

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/paths.hpp"
#include "support/temp_home.hpp"

namespace quillstone::platform {
namespace {

mode_t modeOf(const std::string& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

class Storage : public ::testing::Test {
 protected:
  testing::TempHome home;
  std::string file(const std::string& name) const { return home.path() + "/" + name; }
};

TEST_F(Storage, AtomicWriteReplacesTheWholeFileWithTheGivenMode) {
  const auto path = file("data.json");
  ASSERT_TRUE(writeFileAtomically(path, "{\"a\":1}", 0600));
  ASSERT_TRUE(writeFileAtomically(path, "{}", 0600));
  EXPECT_EQ(readFile(path), "{}");
  EXPECT_EQ(modeOf(path), 0600u);
  EXPECT_FALSE(writeFileAtomically(file("missing-dir/x.json"), "{}", 0600));
}

TEST_F(Storage, PrivateDirectoriesAre0700AndAPlainFileInTheWayIsReported) {
  const auto nested = file("a/b/c");
  ASSERT_TRUE(makePrivateDirectories(nested));
  EXPECT_EQ(modeOf(nested), 0700u);
  EXPECT_EQ(modeOf(file("a")), 0700u);
  chmod(nested.c_str(), 0755);
  ASSERT_TRUE(makePrivateDirectories(nested));
  EXPECT_EQ(modeOf(nested), 0700u);

  ASSERT_TRUE(writeFileAtomically(file("plain"), "x", 0644));
  EXPECT_FALSE(makePrivateDirectories(file("plain")));
  EXPECT_FALSE(makePrivateDirectories(file("plain/below")));
}

TEST_F(Storage, DefaultsLiveUnderTheXdgConfigDirectoryOfTheApp) {
  EXPECT_EQ(configDirectory(), home.path() + "/.config/" + "platform_tests");
  setenv("XDG_CONFIG_HOME", file("cfg").c_str(), 1);
  EXPECT_EQ(configDirectory(), file("cfg") + "/platform_tests");
  setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
  EXPECT_EQ(configDirectory(), home.path() + "/.config/platform_tests");
  unsetenv("XDG_CONFIG_HOME");
}

TEST_F(Storage, DefaultsPersistAcrossStoresAndKeepTypes) {
  const auto path = file("conf/defaults.json");
  {
    FileDefaultsStore store(path);
    EXPECT_FALSE(store.value("missing"));
    store.setValue("qs_device_id", "ID-1");
    store.setValue("quillstone_attrib_done", true);
  }
  FileDefaultsStore reloaded(path);
  EXPECT_EQ(reloaded.string("qs_device_id"), "ID-1");
  EXPECT_TRUE(reloaded.boolean("quillstone_attrib_done"));
  EXPECT_FALSE(reloaded.string("quillstone_attrib_done"));
  EXPECT_FALSE(reloaded.boolean("qs_device_id"));
  EXPECT_EQ(modeOf(file("conf")), 0700u);
}

TEST_F(Storage, CorruptDefaultsCountAsEmptyAndAreRewrittenWhole) {
  const auto path = file("defaults.json");
  for (const char* corrupt : {"{\"a\":", "[1,2]", "\xff\xfe", "null"}) {
    ASSERT_TRUE(writeFileAtomically(path, corrupt, 0600));
    FileDefaultsStore store(path);
    EXPECT_FALSE(store.value("a"));
    store.setValue("b", "x");
    EXPECT_EQ(readFile(path), "{\"b\":\"x\"}");
  }
}

// The first write into a store with nothing to lose lands at once and leaves only the wait for
// the disk to the given runner; a write that replaces stored values waits for the disk itself.
TEST_F(Storage, OnlyTheFirstWriteIntoAnEmptyStoreDefersItsWaitForTheDisk) {
  const auto path = file("defaults.json");
  std::vector<std::function<void()>> deferred;
  const auto defer = [&](std::function<void()> sync) { deferred.push_back(std::move(sync)); };
  {
    FileDefaultsStore store(path, defer);
    EXPECT_EQ(store.stringOrInsert("qs_device_id", "ID-1"), "ID-1");
    EXPECT_EQ(readFile(path), "{\"qs_device_id\":\"ID-1\"}");
    EXPECT_EQ(modeOf(path), 0600u);
    ASSERT_EQ(deferred.size(), 1u);
    deferred.front()();
    store.setValue("k", "v");
    EXPECT_EQ(deferred.size(), 1u);
  }
  FileDefaultsStore reloaded(path, defer);
  reloaded.setValue("k", "w");
  EXPECT_EQ(deferred.size(), 1u);
  EXPECT_EQ(reloaded.string("qs_device_id"), "ID-1");
}

TEST_F(Storage, UnwritableDefaultsKeepWorkingInMemory) {
  ASSERT_TRUE(writeFileAtomically(file("blocked"), "x", 0644));
  FileDefaultsStore store(file("blocked/defaults.json"));
  store.setValue("k", "v");
  EXPECT_EQ(store.string("k"), "v");
}

TEST_F(Storage, ConcurrencyParallelWritersLeaveEveryKeyInOneParsableFile) {
  const auto path = file("defaults.json");
  FileDefaultsStore store(path);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) store.setValue("k" + std::to_string(t * 100 + i), i);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto saved = nlohmann::json::parse(*readFile(path));
  EXPECT_EQ(saved.size(), 160u);
}

}  // namespace
}  // namespace quillstone::platform
