#include "transport/pending_crashes.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "crash/crash_dir.hpp"
#include "platform/files.hpp"
#include "quillstone/quillstone.hpp"
#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/log_capture.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone::testing {
namespace {

using namespace std::chrono_literals;

// Not valid JSON on purpose: the upload must send the bytes as they are, without parsing them.
const std::string kSignalBytes =
    "{\"id\":\"a\",\"data\":{\"name\":\"SIGSEGV\",\"stack\":\"\xe6\x94\"}";
const std::string kExceptionBytes = "{\"type\":\"error\"}";
constexpr char kUnreachable[] = "http://127.0.0.1:9/";

std::string crashPath(const std::string& name) { return crash::crashDirectory() + "/" + name; }

void writeCrashFile(const std::string& name, const std::string& bytes) {
  std::ofstream(crashPath(name), std::ios::binary) << bytes;
}

bool exists(const std::string& name) { return std::filesystem::exists(crashPath(name)); }

Quillstone::Config configFor(const std::string& server, bool reportCrash = true) {
  return Quillstone::Config("app", Quillstone::resolveServer(server), "1.0", "test", reportCrash,
                            false, false);
}

std::multiset<std::string> bodies(const Collector& collector) {
  std::multiset<std::string> all;
  for (const auto& request : collector.requestsTo("/rum")) all.insert(request.body);
  return all;
}

TEST(PendingCrashes, UploadsEveryJsonFileUnchangedAndDeletesItOnceAccepted) {
  TempHome home;
  Collector collector;
  StderrCapture log;
  writeCrashFile("crash-signal.json", kSignalBytes);
  writeCrashFile("crash-exception.json", kExceptionBytes);
  writeCrashFile("crash.JSON", "upper");
  writeCrashFile("notes.txt", "notes");

  Quillstone::shared().start(configFor(collector.url()));

  ASSERT_TRUE(collector.waitForRequests(2));
  EXPECT_EQ(bodies(collector), (std::multiset<std::string>{kSignalBytes, kExceptionBytes}));
  for (const auto& request : collector.requests()) EXPECT_EQ(request.method, "POST");
  EXPECT_TRUE(
      waitUntil([] { return !exists("crash-signal.json") && !exists("crash-exception.json"); }));
  EXPECT_TRUE(log.waitFor("[qs] 已上报并删除 crash-signal.json"));
  EXPECT_TRUE(log.waitFor("[qs] 已上报并删除 crash-exception.json"));
  EXPECT_EQ(platform::readFile(crashPath("crash.JSON")), "upper");
  EXPECT_EQ(platform::readFile(crashPath("notes.txt")), "notes");
  EXPECT_FALSE(collector.waitForRequests(3, 300ms));
}

TEST(PendingCrashes, ARefusedUploadKeepsTheFileForTheNextStart) {
  TempHome home;
  Collector collector;
  StderrCapture log;
  collector.setResponse(CannedResponse{500, "{}"});
  writeCrashFile("crash-signal.json", kSignalBytes);

  Quillstone::shared().start(configFor(collector.url()));
  ASSERT_TRUE(log.waitFor("[qs] 上报失败,留到下次 crash-signal.json"));
  EXPECT_EQ(platform::readFile(crashPath("crash-signal.json")), kSignalBytes);
  EXPECT_EQ(log.text().find("已上报并删除"), std::string::npos);

  collector.setResponse(CannedResponse{200, "{}"});
  Quillstone::shared().start(configFor(collector.url()));
  ASSERT_TRUE(collector.waitForRequests(2));
  EXPECT_EQ(collector.requests()[1].body, kSignalBytes);
  EXPECT_TRUE(log.waitFor("[qs] 已上报并删除 crash-signal.json"));
  EXPECT_TRUE(waitUntil([] { return !exists("crash-signal.json"); }));
}

TEST(PendingCrashes, AnUnreachableServerKeepsTheFile) {
  TempHome home;
  StderrCapture log;
  writeCrashFile("crash-exception.json", kExceptionBytes);
  Quillstone::shared().start(configFor(kUnreachable));
  ASSERT_TRUE(log.waitFor("[qs] 上报失败,留到下次 crash-exception.json"));
  EXPECT_EQ(platform::readFile(crashPath("crash-exception.json")), kExceptionBytes);
}

TEST(PendingCrashes, TheHostCanUploadWhenCrashReportingIsOff) {
  TempHome home;
  Collector collector;
  writeCrashFile("crash-signal.json", kSignalBytes);

  Quillstone::shared().start(configFor(collector.url(), false));
  // Something that does go out, so that an upload started by start would have come first.
  Quillstone::shared().track("ping", 1, std::nullopt);
  ASSERT_TRUE(collector.waitForRequests(1));
  EXPECT_FALSE(collector.waitForRequests(2, 300ms)) << "start uploaded with reporting off";
  EXPECT_TRUE(exists("crash-signal.json"));

  Quillstone::shared().flushPendingCrashes();
  ASSERT_TRUE(collector.waitForRequests(2));
  EXPECT_EQ(collector.requests()[1].body, kSignalBytes);
  EXPECT_TRUE(waitUntil([] { return !exists("crash-signal.json"); }));
}

TEST(PendingCrashes, BeforeAnyStartTheFilesWaitForTheFirstStart) {
  TempHome home;
  Collector collector;
  StderrCapture log;
  writeCrashFile("crash-signal.json", kSignalBytes);
  Quillstone::shared().flushPendingCrashes();
  EXPECT_TRUE(exists("crash-signal.json"));

  Quillstone::shared().start(configFor(collector.url()));
  ASSERT_TRUE(collector.waitForRequests(1));
  EXPECT_EQ(collector.requests()[0].body, kSignalBytes);
  EXPECT_TRUE(waitUntil([] { return !exists("crash-signal.json"); }));
}

TEST(PendingCrashes, AFileRewrittenDuringItsUploadIsKept) {
  TempHome home;
  Collector collector;
  StderrCapture log;
  writeCrashFile("crash-signal.json", kSignalBytes);
  const std::string newer = "{\"newer\":true}";
  // Before the server answers, a newer crash takes the name.
  collector.onRequest([&](const RecordedRequest&) { writeCrashFile("crash-signal.json", newer); });

  Quillstone::shared().start(configFor(collector.url()));
  ASSERT_TRUE(log.waitFor("[qs] 已上报并删除 crash-signal.json"));
  EXPECT_EQ(collector.requests()[0].body, kSignalBytes);
  EXPECT_EQ(platform::readFile(crashPath("crash-signal.json")), newer);
}

TEST(PendingCrashes, ACrashOfOneRunIsUploadedByteForByteByTheNext) {
  TempHome home;
  const ChildResult crashed = runInChild([] {
    Quillstone::shared().start(configFor(kUnreachable));
    Quillstone::shared().testCrash();
  });
  ASSERT_TRUE(crashed.signaled) << crashed.describe();
  const auto bytes = platform::readFile(crashPath("crash-signal.json"));
  ASSERT_TRUE(bytes);

  Collector collector;
  Quillstone::shared().start(configFor(collector.url()));
  ASSERT_TRUE(collector.waitForRequests(1));
  EXPECT_EQ(collector.requests()[0].body, *bytes);
  EXPECT_EQ(collector.requests()[0].path, "/rum");
  EXPECT_TRUE(waitUntil([] { return !exists("crash-signal.json"); }));
}

}  // namespace
}  // namespace quillstone::testing
