#include "client/stale_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/crash_dir.hpp"
#include "platform/files.hpp"
#include "platform/outbox_files.hpp"
#include "platform/paths.hpp"
#include "support/temp_home.hpp"

namespace quillstone::client {
namespace {

using namespace std::chrono_literals;

struct LeftFile {
  std::string path;
  std::chrono::seconds age;  // since its last modification
  bool kept;
};

bool exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

TEST(StaleTemporaries, OnlyTheStoresAndCrashWritesUntouchedForAnHourAreSwept) {
  testing::TempHome home;
  const std::string config = platform::configDirectory();
  const std::string data = platform::dataDirectory();
  const std::string crash = crash::crashDirectoryPath();
  const std::string outbox = platform::outboxDirectory();
  const std::string report = outbox + "/0001765000000000-0000000000-42.report";
  const std::string reserve =
      platform::cachesDirectory() + "/quillstone-reserve-" + std::to_string(getpid());
  const auto stale = kStaleTemporaryAge + 1min;
  const std::vector<LeftFile> files = {
      {config + "/defaults.json.tmp.aB3xYz", stale, false},
      {config + "/defaults.json.tmp.Qw12er", 1min, true},  // another instance writing now
      {config + "/defaults.json", stale, true},
      {config + "/settings.json.tmp.Ab12Cd", stale, true},  // the host's own file
      {data + "/keychain.json.tmp.p0o9i8", stale, false},
      {data + "/keychain.json.tmp.u7y6t5", 1min, true},
      {crash + "/crash-exception.json.tmp.Zx81Cv", stale, false},
      {crash + "/crash-exception.json.tmp.Mn45Bv", 1min, true},
      {crash + "/crash-signal.json", stale, true},
      {report + ".tmp.Kj7Hg6", stale, false},
      {report, stale, true},  // a report waiting for the server, however long
      {report + ".sending.42", stale, true},
      {reserve, stale, true},
  };
  for (const std::string& directory : {config, data, crash, outbox}) {
    ASSERT_TRUE(platform::makePrivateDirectories(directory));
  }
  const auto now = std::chrono::system_clock::now();
  for (const LeftFile& file : files) {
    ASSERT_TRUE(platform::writeFileAtomically(file.path, "{}", 0600)) << file.path;
    const auto modified = std::chrono::system_clock::to_time_t(now - file.age);
    const timespec times[2] = {{modified, 0}, {modified, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, file.path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
  }

  sweepStaleTemporaries();

  for (const LeftFile& file : files) EXPECT_EQ(exists(file.path), file.kept) << file.path;
}

}  // namespace
}  // namespace quillstone::client
