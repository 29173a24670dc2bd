#include "platform/keychain.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>

#include "platform/files.hpp"
#include "support/temp_home.hpp"

namespace quillstone::platform {
namespace {

class FileKeychainTest : public ::testing::Test {
 protected:
  std::string directory() const { return home.path() + "/data/app"; }
  std::string file() const { return directory() + "/keychain.json"; }

  testing::TempHome home;
};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

TEST_F(FileKeychainTest, KeepsItemsAsBase64InAPrivateFile) {
  FileKeychain keychain(file());
  EXPECT_EQ(keychain.copy("account"), std::nullopt);
  ASSERT_TRUE(keychain.add("account", "ABC-123"));
  EXPECT_EQ(keychain.copy("account"), "ABC-123");

  EXPECT_EQ(modeOf(file()), 0600);
  EXPECT_EQ(modeOf(directory()), 0700);
  const auto stored = nlohmann::json::parse(*readFile(file()));
  EXPECT_EQ(stored,
            (nlohmann::json{
                {"account", {{"data", "QUJDLTEyMw=="}, {"accessible", "afterFirstUnlock"}}}}));
}

TEST_F(FileKeychainTest, ItemBytesSurviveWhatever) {
  FileKeychain keychain(file());
  // Lengths 0 to 4 cover every base64 padding; the rest are bytes JSON could not hold as text.
  const std::string items[] = {"", "a", "ab", "abc", "abcd", std::string("\0\xff\x80z", 4)};
  for (std::size_t i = 0; i < std::size(items); ++i) {
    ASSERT_TRUE(keychain.add("item" + std::to_string(i), items[i]));
  }
  FileKeychain reopened(file());
  for (std::size_t i = 0; i < std::size(items); ++i) {
    EXPECT_EQ(reopened.copy("item" + std::to_string(i)), items[i]) << i;
  }
}

TEST_F(FileKeychainTest, AddRefusesAnExistingItemUntilItIsRemoved) {
  FileKeychain keychain(file());
  ASSERT_TRUE(keychain.add("account", "first"));
  EXPECT_FALSE(keychain.add("account", "second"));
  EXPECT_EQ(keychain.copy("account"), "first");
  EXPECT_TRUE(keychain.remove("account"));
  EXPECT_FALSE(keychain.remove("account"));
  EXPECT_TRUE(keychain.add("account", "second"));
  EXPECT_EQ(keychain.copy("account"), "second");
}

}  // namespace
}  // namespace quillstone::platform
