// A crash directory that cannot be created, because a plain file stands where it or its parent
// should be. Tests run as root, so a file in the way is the only honest way to make creation
// fail. Reports still go out, crashes still end the process the way they would have, and nothing
// of the host is harmed.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <quillstone/quillstone.hpp>
#include <stdexcept>

#include "crash/crash_dir.hpp"
#include "crash/signal_handler.hpp"
#include "platform/files.hpp"
#include "platform/paths.hpp"
#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/log_capture.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone::testing {
namespace {

constexpr char kInTheWay[] = "not a directory";

// Throws through a noexcept frame, so no handler of the test framework can catch it.
[[noreturn]] void throwUncaught(const std::function<void()>& thrower) {
  [&]() noexcept { thrower(); }();
  std::abort();
}

class CrashDirectoryBlocked : public ::testing::TestWithParam<const char*> {
 protected:
  // The plain file that stands where a directory belongs: the caches directory of the app, or
  // the crash directory inside it.
  std::string blocker() const {
    const std::string caches = platform::cachesDirectory();
    return GetParam() == std::string("caches") ? caches : caches + "/quillstone";
  }

  void SetUp() override {
    const std::string path = blocker();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << kInTheWay;
  }

  Quillstone::Config config() const {
    return Quillstone::Config("app", Quillstone::resolveServer(collector.url()), "1.0", "test",
                              true, false, false);
  }

  void expectBlockerUntouched() const {
    EXPECT_EQ(platform::readFile(blocker()), kInTheWay);
    EXPECT_FALSE(std::filesystem::exists(crash::crashDirectory() + "/crash-signal.json"));
    EXPECT_FALSE(std::filesystem::exists(crash::crashDirectory() + "/crash-exception.json"));
  }

  TempHome home;
  Collector collector;
};

TEST_P(CrashDirectoryBlocked, ReportsStillGoOut) {
  auto& client = Quillstone::shared();
  client.start(config());
  client.flushPendingCrashes();
  client.setUser("u");
  client.track("e", 1, std::nullopt);
  client.capture("E", "m", "");
  ASSERT_TRUE(collector.waitForRequests(2));
  for (const auto& request : collector.requests()) EXPECT_EQ(request.path, "/rum");
  expectBlockerUntouched();
}

TEST_P(CrashDirectoryBlocked, StartSaysCrashCaptureIsOffAndInstallsNoHandler) {
  StderrCapture capture;
  const auto result = runInChild([this] {
    const std::terminate_handler terminateBefore = std::get_terminate();
    Quillstone::shared().start(config());
    struct sigaction current {};
    sigaction(SIGSEGV, nullptr, &current);
    _exit(current.sa_sigaction == crash::crashSignalHandler ||
                  std::get_terminate() != terminateBefore
              ? 1
              : 0);
  });
  EXPECT_TRUE(result.exited && result.exitCode == 0) << result.describe();
  EXPECT_TRUE(
      capture.waitFor(std::string(crash::kLogCrashCaptureOff) + crash::crashDirectory() + "\n"))
      << capture.text();
}

TEST_P(CrashDirectoryBlocked, ASignalCrashStillEndsTheProcessByItsSignal) {
  const auto result = runInChild([this] {
    Quillstone::shared().start(config());
    Quillstone::shared().testCrash();
  });
  EXPECT_TRUE(result.signaled && result.signal == SIGILL) << result.describe();
  expectBlockerUntouched();
}

TEST_P(CrashDirectoryBlocked, AnUncaughtExceptionStillAborts) {
  const auto result = runInChild([this] {
    Quillstone::shared().start(config());
    throwUncaught([] { throw std::runtime_error("boom"); });
  });
  EXPECT_TRUE(result.signaled && result.signal == SIGABRT) << result.describe();
  expectBlockerUntouched();
}

INSTANTIATE_TEST_SUITE_P(FaultInjection, CrashDirectoryBlocked,
                         ::testing::Values("caches", "crash"),
                         [](const auto& info) { return std::string(info.param) + "IsAFile"; });

}  // namespace
}  // namespace quillstone::testing
