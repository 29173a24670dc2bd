// A writer of the defaults store and of the keychain file killed with SIGKILL at random moments:
// after every kill both files parse and hold either the value before the interrupted write or
// the one it was writing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <random>

#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/keychain.hpp"
#include "support/temp_home.hpp"

namespace quillstone::testing {
namespace {

using Json = nlohmann::json;

// Rounds of one writer each; QS_KILL_ROUNDS overrides.
constexpr int kDefaultRounds = 60;
// Writes per child at most, so a child that is never killed still ends.
constexpr std::uint32_t kMaxWritesPerChild = 200;
constexpr int kMaxAnnouncementsBeforeKill = 16;
constexpr int kMaxSpinBeforeKill = 200000;
constexpr int kPollMillis = 15000;

// Announced by the writer just before each write.
struct Announcement {
  char store;  // 'd' defaults, 'k' keychain
  std::uint32_t value;
};

int rounds() {
  const char* text = std::getenv("QS_KILL_ROUNDS");
  const int value = text ? std::atoi(text) : 0;
  return value > 0 ? value : kDefaultRounds;
}

// The counter in the defaults file; 0 before the first write.
std::uint32_t defaultsValue(const std::string& path) {
  const auto text = platform::readFile(path);
  if (!text) return 0;
  const Json json = Json::parse(*text);  // throws, failing the test, when not JSON
  EXPECT_TRUE(json.is_object());
  return json.value("n", 0U);
}

// The keychain holds accounts k1..km and nothing else; returns m. The newest item, the one an
// interrupted add was writing, must read back whole.
std::uint32_t keychainCount(const std::string& path) {
  const auto text = platform::readFile(path);
  if (!text) return 0;
  const Json json = Json::parse(*text);
  EXPECT_TRUE(json.is_object());
  const auto count = static_cast<std::uint32_t>(json.size());
  for (std::uint32_t i = 1; i <= count; ++i) {
    EXPECT_TRUE(json.contains("k" + std::to_string(i))) << i << " of " << count;
  }
  if (count > 0) {
    platform::FileKeychain keychain(path);
    EXPECT_EQ(keychain.copy("k" + std::to_string(count)), std::to_string(count));
  }
  return count;
}

[[noreturn]] void writeForever(const std::string& defaultsPath, const std::string& keychainPath,
                               int announce) {
  platform::FileDefaultsStore defaults(defaultsPath);
  platform::FileKeychain keychain(keychainPath);
  std::uint32_t next = defaultsValue(defaultsPath) + 1;
  std::uint32_t account = keychainCount(keychainPath) + 1;
  for (std::uint32_t i = 0; i < kMaxWritesPerChild; ++i) {
    const Announcement store{'d', next};
    (void)!write(announce, &store, sizeof store);
    defaults.setValue("n", next++);
    const Announcement add{'k', account};
    (void)!write(announce, &add, sizeof add);
    keychain.add("k" + std::to_string(account), std::to_string(account));
    ++account;
  }
  std::_Exit(0);
}

// In memory when possible: every write is fsynced, and on a disk that would make each round slow
// without changing what a kill can interrupt.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    const bool shm = access("/dev/shm", W_OK) == 0;
    std::string pattern = std::string(shm ? "/dev/shm" : "/tmp") + "/qs-kill-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDirectory() { removeTree(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(KillSafety, StoresHoldTheOldOrTheNewValueWhereverAWriterIsKilled) {
  ScratchDirectory scratch;
  ASSERT_FALSE(scratch.path().empty());
  const std::string defaultsPath = scratch.path() + "/config/defaults.json";
  const std::string keychainPath = scratch.path() + "/data/keychain.json";
  ASSERT_TRUE(platform::makePrivateDirectories(scratch.path() + "/config"));
  ASSERT_TRUE(platform::makePrivateDirectories(scratch.path() + "/data"));
  std::mt19937 random(std::random_device{}());
  int killedMidWrite = 0;

  for (int round = 0; round < rounds(); ++round) {
    const std::uint32_t before = defaultsValue(defaultsPath);
    const std::uint32_t accountsBefore = keychainCount(keychainPath);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipeFds[0]);
      writeForever(defaultsPath, keychainPath, pipeFds[1]);
    }
    close(pipeFds[1]);

    // Let the writer announce a random number of writes, then kill it a random moment later.
    const int wanted = std::uniform_int_distribution(1, kMaxAnnouncementsBeforeKill)(random);
    Announcement last{'d', before}, lastKeychain{'k', accountsBefore};
    auto take = [&](const Announcement& a) { (a.store == 'd' ? last : lastKeychain) = a; };
    for (int seen = 0; seen < wanted;) {
      pollfd ready{pipeFds[0], POLLIN, 0};
      if (poll(&ready, 1, kPollMillis) != 1) break;
      Announcement a{};
      if (read(pipeFds[0], &a, sizeof a) != sizeof a) break;
      take(a);
      ++seen;
    }
    const int spin = std::uniform_int_distribution(0, kMaxSpinBeforeKill)(random);
    for (volatile int i = 0; i < spin;) i = i + 1;
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    for (Announcement a{}; read(pipeFds[0], &a, sizeof a) == sizeof a;) take(a);
    close(pipeFds[0]);

    const std::uint32_t after = defaultsValue(defaultsPath);
    const std::uint32_t accountsAfter = keychainCount(keychainPath);
    EXPECT_TRUE(after == last.value || after + 1 == last.value)
        << "round " << round << ": defaults hold " << after << ", last write " << last.value;
    EXPECT_TRUE(accountsAfter == lastKeychain.value || accountsAfter + 1 == lastKeychain.value)
        << "round " << round << ": keychain holds " << accountsAfter << ", last add "
        << lastKeychain.value;
    if (WIFSIGNALED(status) &&
        (after + 1 == last.value || accountsAfter + 1 == lastKeychain.value)) {
      ++killedMidWrite;
    }
    if (HasFailure()) return;
  }
  // Kills that landed inside a write are what this test is about; report how many there were.
  RecordProperty("killedMidWrite", killedMidWrite);
}

}  // namespace
}  // namespace quillstone::testing
