// What the library must never do to its host: leave its files readable by others, trust a
// server it cannot verify, or let host text act as a format string.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <quillstone/attribution.hpp>
#include <quillstone/json.hpp>
#include <quillstone/quillstone.hpp>

#include "crash/crash_dir.hpp"
#include "platform/files.hpp"
#include "platform/http_session.hpp"
#include "platform/paths.hpp"
#include "reliability/tls_server.hpp"
#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/log_capture.hpp"
#include "support/recording_log.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"
#include "transport/delivery.hpp"

namespace quillstone::testing {
namespace {

using Json = nlohmann::json;

// Every conversion that would read or write memory if it reached printf.
const std::string kFormat = "%n%s%x%p%d%%%1$s%999999999s";

mode_t permissions(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

Quillstone::Config configFor(const std::string& server, const std::string& text = "app") {
  return Quillstone::Config(text, Quillstone::resolveServer(server), text, text, true, false,
                            false);
}

// Exercises every writer of a private file: the crash directory (start), the defaults store (the
// install id of the first report) and the keychain (the device id).
void useEveryStore(const std::string& server) {
  Quillstone::shared().start(configFor(server));
  Quillstone::shared().track("e", 1, std::nullopt);
  EXPECT_FALSE(Attribution::shared().deviceId().empty());
}

class PrivateFiles : public ::testing::Test {
 protected:
  // A permissive umask: the modes must not depend on the host's.
  void SetUp() override { previousMask_ = umask(0); }
  void TearDown() override { umask(previousMask_); }

  void expectPrivate() {
    EXPECT_EQ(permissions(crash::crashDirectory()), 0700u);
    EXPECT_EQ(permissions(platform::configDirectory()), 0700u);
    EXPECT_EQ(permissions(platform::dataDirectory()), 0700u);
    EXPECT_EQ(permissions(platform::dataDirectory() + "/keychain.json"), 0600u);
    EXPECT_EQ(permissions(platform::configDirectory() + "/defaults.json"), 0600u);
  }

  TempHome home;
  Collector collector;

 private:
  mode_t previousMask_ = 0;
};

TEST_F(PrivateFiles, NewDirectoriesAre0700AndTheKeychainFile0600) {
  useEveryStore(collector.url());
  ASSERT_TRUE(collector.waitForRequests(1));
  ASSERT_TRUE(waitUntil(
      [] { return std::filesystem::exists(platform::configDirectory() + "/defaults.json"); }));
  expectPrivate();
}

TEST_F(PrivateFiles, ExistingOpenDirectoriesAreNarrowed) {
  for (const std::string& directory : {platform::cachesDirectory() + "/quillstone",
                                       platform::configDirectory(), platform::dataDirectory()}) {
    std::filesystem::create_directories(directory);
    chmod(directory.c_str(), 0777);
  }
  useEveryStore(collector.url());
  ASSERT_TRUE(collector.waitForRequests(1));
  ASSERT_TRUE(waitUntil(
      [] { return std::filesystem::exists(platform::configDirectory() + "/defaults.json"); }));
  expectPrivate();
}

TEST(Tls, ACollectorWithASelfSignedCertificateIsRefused) {
  TempHome home;
  SelfSignedTlsServer server;
  ASSERT_TRUE(server.ready());
  StderrCapture log;
  RecordingLog deliveryLog;
  std::atomic<int> done{0};
  std::atomic<int> accepted{0};
  transport::Delivery delivery(platform::systemHttpSession(), deliveryLog);
  delivery.post(Url::parse(server.base()), "{}", [&](bool ok) {
    accepted += ok;
    ++done;
  });
  Quillstone::shared().start(configFor(server.base()));
  Quillstone::shared().track("e", 1, std::nullopt);
  std::atomic<int> results{0};
  Attribution::shared().start("app", *Url::parse(server.base()), [&](const auto& result) {
    EXPECT_FALSE(result.matched());
    ++results;
  });

  ASSERT_TRUE(waitUntil([&] { return done.load() == 1 && results.load() == 1; }));
  EXPECT_EQ(accepted.load(), 0);
  ASSERT_EQ(deliveryLog.lines().size(), 1u);
  EXPECT_EQ(deliveryLog.lines()[0].rfind("[qs] 网络失败 ", 0), 0u) << deliveryLog.lines()[0];
  EXPECT_TRUE(log.waitFor("[qs] 网络失败 "));
  EXPECT_TRUE(waitUntil([&] { return server.failedHandshakes() >= 3; }));
  EXPECT_EQ(server.requestsRead(), 0) << "a request was sent over an unverified connection";
}

TEST(FormatStrings, HostTextArrivesVerbatimInEveryReport) {
  TempHome home;
  Collector collector;
  auto& client = Quillstone::shared();
  client.start(configFor(collector.url(), kFormat));
  client.setUser(kFormat);
  client.setPage(kFormat);
  addBreadcrumb(client, kFormat, {{kFormat, kFormat}});
  client.track(kFormat, 1, std::map<std::string, std::string>{{kFormat, kFormat}});
  client.capture(kFormat, kFormat, kFormat);
  ASSERT_TRUE(collector.waitForRequests(2));

  const auto requests = collector.requestsTo("/rum");
  ASSERT_EQ(requests.size(), 2u);
  // The two reports travel on separate connections and may arrive in either order.
  Json event = Json::parse(requests[0].body);
  Json error = Json::parse(requests[1].body);
  if (event["type"] != "event") std::swap(event, error);
  ASSERT_EQ(event["type"], "event");
  ASSERT_EQ(error["type"], "error");
  for (const Json* report : {&event, &error}) {
    EXPECT_EQ((*report)["id"], kFormat);
    EXPECT_EQ((*report)["release"], kFormat);
  }
  EXPECT_EQ(event["data"]["name"], kFormat);
  EXPECT_EQ(event["data"]["props"][kFormat], kFormat);
  EXPECT_EQ(error["userId"], kFormat);
  EXPECT_EQ(error["data"]["name"], kFormat);
  EXPECT_EQ(error["data"]["message"], kFormat);
  EXPECT_EQ(error["data"]["stack"], kFormat);
  EXPECT_NE(requests[1].body.find("\"" + kFormat + "\""), std::string::npos);
}

TEST(FormatStrings, HostTextArrivesVerbatimInCrashFilesAndAttribution) {
  TempHome home;
  Collector collector;
  const auto crashed = runInChild([&] {
    Quillstone::shared().start(configFor(collector.url(), kFormat));
    Quillstone::shared().setUser(kFormat);
    Quillstone::shared().testCrash();
  });
  ASSERT_TRUE(crashed.signaled) << crashed.describe();
  const auto file = platform::readFile(crash::crashDirectory() + "/crash-signal.json");
  ASSERT_TRUE(file);
  const Json report = Json::parse(*file);
  EXPECT_EQ(report["userId"], kFormat);
  EXPECT_EQ(report["id"], kFormat);

  // The referral code, escaped in the link, reaches the server decoded and unchanged.
  EXPECT_TRUE(Attribution::shared().handle(*Url::parse("app://x/?_la=%25n%25s%25x")));
  std::atomic<int> results{0};
  Attribution::shared().start(kFormat, *Url::parse(collector.url()),
                              [&](const auto&) { ++results; });
  ASSERT_TRUE(waitUntil([&] { return results.load() == 1; }));
  const auto installs = collector.requestsTo("/attrib/install");
  ASSERT_EQ(installs.size(), 1u);
  const Json install = Json::parse(installs[0].body);
  EXPECT_EQ(install["id"], kFormat);
  EXPECT_EQ(install["referrer"], "la_code=%n%s%x");
}

}  // namespace
}  // namespace quillstone::testing
