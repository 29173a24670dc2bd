#include "platform/stored_object.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/keychain.hpp"
#include "support/child_process.hpp"
#include "support/temp_home.hpp"

namespace quillstone::platform {
namespace {

using nlohmann::json;

// A store as its callers use it: the value under a key, made and stored when there is none.
class Store {
 public:
  virtual ~Store() = default;
  virtual std::string valueOrMake(const std::string& key, const std::string& made) = 0;
};

class Defaults final : public Store {
 public:
  explicit Defaults(const std::string& path) : store_(path) {}
  std::string valueOrMake(const std::string& key, const std::string& made) override {
    return store_.stringOrInsert(key, made);
  }

 private:
  FileDefaultsStore store_;
};

class KeychainItems final : public Store {
 public:
  explicit KeychainItems(const std::string& path) : keychain_(path) {}
  std::string valueOrMake(const std::string& key, const std::string& made) override {
    if (auto stored = keychain_.copy(key)) return *stored;
    keychain_.add(key, made);
    return keychain_.copy(key).value_or(made);
  }

 private:
  FileKeychain keychain_;
};

// Spoils the store's file so that reading it fails for real, and undoes that.
class ReadError {
 public:
  virtual ~ReadError() = default;
  virtual void spoil(const std::string& path) = 0;
  virtual void restore(const std::string& path) = 0;
};

class NoFreeDescriptor final : public ReadError {
 public:
  void spoil(const std::string&) override {
    const rlimit low{256, 256};
    if (setrlimit(RLIMIT_NOFILE, &low) != 0) std::_Exit(90);
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) taken_.push_back(fd);
    if (errno != EMFILE) std::_Exit(91);
  }
  void restore(const std::string&) override {
    for (const int fd : taken_) close(fd);
  }

 private:
  std::vector<int> taken_;
};

// Opening succeeds and reading fails (EISDIR), while a rename would replace the link.
class LinkToADirectory final : public ReadError {
 public:
  void spoil(const std::string& path) override {
    if (rename(path.c_str(), (path + ".aside").c_str()) != 0 ||
        mkdir((path + ".dir").c_str(), 0700) != 0 ||
        symlink((path + ".dir").c_str(), path.c_str()) != 0) {
      std::_Exit(92);
    }
  }
  void restore(const std::string& path) override {
    if (rename((path + ".aside").c_str(), path.c_str()) != 0) std::_Exit(93);
  }
};

struct Case {
  const char* name;
  std::unique_ptr<Store> (*store)(const std::string& path);
  std::unique_ptr<ReadError> (*error)();
};

void PrintTo(const Case& row, std::ostream* out) { *out << row.name; }

std::unique_ptr<Store> defaults(const std::string& path) {
  return std::make_unique<Defaults>(path);
}
std::unique_ptr<Store> keychain(const std::string& path) {
  return std::make_unique<KeychainItems>(path);
}
std::unique_ptr<ReadError> noFreeDescriptor() { return std::make_unique<NoFreeDescriptor>(); }
std::unique_ptr<ReadError> linkToADirectory() { return std::make_unique<LinkToADirectory>(); }

class StoreReadError : public ::testing::TestWithParam<Case> {
 protected:
  testing::TempHome home;
  std::string path = home.path() + "/store.json";
};

// The file as lstat sees it: an atomic rewrite gives the name another inode.
ino_t inodeAt(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

TEST_P(StoreReadError, LeavesTheFileAloneAndItsStoredValuesWinOnceItReads) {
  ASSERT_EQ(GetParam().store(path)->valueOrMake("id", "STORED"), "STORED");
  ASSERT_EQ(GetParam().store(path)->valueOrMake("kept", "KEPT"), "KEPT");
  const std::string results = home.path() + "/results.json";

  const auto child = testing::runInChild([&] {
    auto store = GetParam().store(path);
    auto error = GetParam().error();
    error->spoil(path);
    const ino_t spoiled = inodeAt(path);
    json seen;
    seen["unread"] = {store->valueOrMake("id", "MADE-1"), store->valueOrMake("id", "MADE-2")};
    store->valueOrMake("fresh", "MADE-F");
    seen["untouched"] = inodeAt(path) == spoiled;
    error->restore(path);
    seen["read"] = store->valueOrMake("id", "MADE-3");
    std::ofstream(results) << seen.dump();
  });
  ASSERT_TRUE(child.exited && child.exitCode == 0) << child.describe();

  const json seen = json::parse(*readFile(results));
  // One value stands in while the file cannot be read, and the file is not replaced.
  EXPECT_EQ(seen["unread"], json({"MADE-1", "MADE-1"}));
  EXPECT_TRUE(seen["untouched"]);
  // Once read, the stored value is the one used; what was made meanwhile is added beside it.
  EXPECT_EQ(seen["read"], "STORED");
  auto reopened = GetParam().store(path);
  EXPECT_EQ(reopened->valueOrMake("id", "X"), "STORED");
  EXPECT_EQ(reopened->valueOrMake("kept", "X"), "KEPT");
  EXPECT_EQ(reopened->valueOrMake("fresh", "X"), "MADE-F");
}

INSTANTIATE_TEST_SUITE_P(
    BothStores, StoreReadError,
    ::testing::Values(Case{"DefaultsNoFreeDescriptor", defaults, noFreeDescriptor},
                      Case{"DefaultsLinkToADirectory", defaults, linkToADirectory},
                      Case{"KeychainNoFreeDescriptor", keychain, noFreeDescriptor},
                      Case{"KeychainLinkToADirectory", keychain, linkToADirectory}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillstone::platform
