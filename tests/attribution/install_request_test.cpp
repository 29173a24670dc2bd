// The install request end to end: the shared client, the real loopback collector, and the
// defaults store and keychain files in a temporary home.
#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "attribution/attribution_client.hpp"
#include "platform/defaults_store.hpp"
#include "platform/http_session.hpp"
#include "platform/keychain.hpp"
#include "quillstone/attribution.hpp"
#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone {
namespace {

using testing::CannedResponse;
using testing::Collector;
using testing::TempHome;
using testing::waitUntil;

constexpr const char* kInstallPath = "/attrib/install";
constexpr const char* kMatchedReply =
    R"({"matched":true,"channel":{"code":"tw","name":"Twitter"},"method":"link","params":{"n":3}})";

// What the host's callback saw.
class Answers {
 public:
  std::function<void(const Attribution::Result&)> callback() {
    return [this](const Attribution::Result& result) {
      std::lock_guard lock(mutex_);
      results_.push_back(result);
      threads_.push_back(std::this_thread::get_id());
    };
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return results_.size();
  }
  bool waitFor(std::size_t count) const {
    return waitUntil([&] { return this->count() >= count; });
  }
  Attribution::Result result(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return results_.at(i);
  }
  std::thread::id thread(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return threads_.at(i);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Attribution::Result> results_;
  std::vector<std::thread::id> threads_;
};

bool isEmptyResult(const Attribution::Result& r) {
  return !r.matched() && r.channel().empty() && r.channelName().empty() && r.method() == "none" &&
         r.params().empty();
}

// Ends a forked child without exit handlers: the parent's collector threads do not exist in the
// child, so a leak checker running at exit would count their memory as leaked.
[[noreturn]] void leaveChild() { std::_Exit(0); }

class InstallRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("SIMULATOR_MAINSCREEN_WIDTH", "1170.9", 1);
    setenv("SIMULATOR_MAINSCREEN_HEIGHT", "2532", 1);
    setenv("SIMULATOR_MAINSCREEN_SCALE", "3", 1);
    setenv("SIMULATOR_RUNTIME_VERSION", "17.2", 1);
    setenv("LANGUAGE", "fr_FR:en", 1);
    setenv("TZ", "UTC0", 1);
    collector.setResponse(kInstallPath, {200, kMatchedReply});
  }

  Url server() const { return *Url::parse(collector.url()); }
  nlohmann::json body(std::size_t i) const {
    return nlohmann::json::parse(collector.requestsTo(kInstallPath).at(i).body);
  }
  static platform::DefaultsStore& defaults() { return platform::systemDefaults(); }

  TempHome home;
  Collector collector;
};

TEST_F(InstallRequest, FirstStartSendsTheRequestAndStoresTheReply) {
  Answers answers;
  Attribution::shared().start("app-1", server(), answers.callback());
  ASSERT_TRUE(answers.waitFor(1));

  const auto result = answers.result(0);
  EXPECT_TRUE(result.matched());
  EXPECT_EQ(result.channel(), "tw");
  EXPECT_EQ(result.channelName(), "Twitter");
  EXPECT_EQ(result.method(), "link");
  EXPECT_EQ(result.params(), (std::map<std::string, std::string>{{"n", "3"}}));
  EXPECT_NE(answers.thread(0), std::this_thread::get_id());

  const auto requests = collector.requestsTo(kInstallPath);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "POST");
  EXPECT_EQ(requests[0].header("Content-Type"), "application/json");
  for (const char* unset : {"Accept", "Expect", "User-Agent", "Cache-Control"}) {
    EXPECT_EQ(requests[0].header(unset), "") << unset;
  }

  struct utsname name {};
  ASSERT_EQ(uname(&name), 0);
  const std::string deviceId = Attribution::shared().deviceId();
  EXPECT_EQ(body(0), (nlohmann::json{{"id", "app-1"},
                                     {"deviceId", deviceId},
                                     {"platform", "ios"},
                                     {"osVersion", "17.2"},
                                     {"model", name.machine},
                                     {"lang", "fr-FR"},
                                     {"tz", 0},
                                     {"screenW", 1170},
                                     {"screenH", 2532}}));
  EXPECT_EQ(platform::systemKeychain().copy(attribution::kDeviceIdAccount), deviceId);

  EXPECT_TRUE(waitUntil([] { return defaults().boolean(attribution::kDoneKey); }));
  EXPECT_EQ(defaults().string(attribution::kResultKey), kMatchedReply);
}

TEST_F(InstallRequest, ServerPathIsJoinedWithExactlyOneSlash) {
  collector.setResponse({500, ""});
  Answers answers;
  const std::string root = collector.url();  // ends in "/"
  for (const std::string& base : {root + "v1", root + "v1/", root.substr(0, root.size() - 1)}) {
    Attribution::shared().start("app", *Url::parse(base), answers.callback());
  }
  ASSERT_TRUE(answers.waitFor(3));
  std::multiset<std::string> paths;
  for (const auto& request : collector.requests()) paths.insert(request.path);
  EXPECT_EQ(paths, (std::multiset<std::string>{"/v1/attrib/install", "/v1/attrib/install",
                                               "/attrib/install"}));
}

TEST_F(InstallRequest, LaterProcessGetsTheCachedAnswerSynchronously) {
  const auto first = testing::runInChild([&] {
    Answers answers;
    Attribution::shared().start("app", server(), answers.callback());
    if (!answers.waitFor(1) || !answers.result(0).matched()) std::_Exit(3);
    leaveChild();
  });
  ASSERT_TRUE(first.exited && first.exitCode == 0) << first.describe();
  ASSERT_EQ(collector.requestsTo(kInstallPath).size(), 1u);

  const auto second = testing::runInChild([&] {
    Answers answers;
    Attribution::shared().start("app", server(), answers.callback());
    // Delivered before start returned, on this thread.
    if (answers.count() != 1) std::_Exit(4);
    if (answers.thread(0) != std::this_thread::get_id()) std::_Exit(5);
    const auto result = answers.result(0);
    if (!result.matched() || result.channel() != "tw" || result.method() != "link") std::_Exit(6);
    leaveChild();
  });
  EXPECT_TRUE(second.exited && second.exitCode == 0) << second.describe();
  EXPECT_EQ(collector.requestsTo(kInstallPath).size(), 1u);
}

TEST_F(InstallRequest, FlagWithoutStoredTextGivesTheEmptyResult) {
  defaults().setValue(attribution::kDoneKey, true);
  Answers answers;
  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_EQ(answers.count(), 1u);
  EXPECT_TRUE(isEmptyResult(answers.result(0)));
  EXPECT_EQ(collector.count(), 0u);
}

struct ReplyCase {
  const char* name;
  int status;
  std::string body;
  bool accepted;
  bool matched;
};

void PrintTo(const ReplyCase& c, std::ostream* out) { *out << c.name; }

class InstallReply : public InstallRequest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(InstallReply, OnlyAnAcceptedReplyEndsAttribution) {
  const auto& reply = GetParam();
  collector.setResponse(kInstallPath, {reply.status, reply.body, "application/json"});
  Answers answers;
  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_EQ(answers.result(0).matched(), reply.matched);
  if (!reply.matched) {
    EXPECT_TRUE(isEmptyResult(answers.result(0)));
  }
  EXPECT_EQ(defaults().boolean(attribution::kDoneKey), reply.accepted);
  EXPECT_EQ(defaults().string(attribution::kResultKey),
            reply.accepted ? std::optional<std::string>(reply.body) : std::nullopt);

  // The next start answers from the store when the reply was accepted, and asks again when not.
  Attribution::shared().start("app", server(), answers.callback());
  if (reply.accepted) {
    ASSERT_EQ(answers.count(), 2u);
    EXPECT_EQ(answers.result(1).matched(), reply.matched);
    EXPECT_EQ(collector.count(), 1u);
  } else {
    ASSERT_TRUE(answers.waitFor(2));
    EXPECT_EQ(collector.count(), 2u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, InstallReply,
    ::testing::Values(ReplyCase{"Status200", 200, kMatchedReply, true, true},
                      ReplyCase{"Status299", 299, kMatchedReply, true, true},
                      ReplyCase{"Status300", 300, kMatchedReply, false, false},
                      ReplyCase{"Status500", 500, kMatchedReply, false, false},
                      ReplyCase{"InvalidUtf8Body", 200, "{\"matched\":true,\"x\":\"\xff\"}", false,
                                false},
                      ReplyCase{"EmptyBody", 200, "", true, false},
                      ReplyCase{"NotJsonBody", 201, "<html>ok</html>", true, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstallRequest, UnreachableServerGivesTheEmptyResultAndStoresNothing) {
  std::string url;
  {
    Collector gone;
    url = gone.url();
  }
  Answers answers;
  Attribution::shared().start("app", *Url::parse(url), answers.callback());
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_TRUE(isEmptyResult(answers.result(0)));
  EXPECT_FALSE(defaults().value(attribution::kDoneKey).has_value());
  EXPECT_FALSE(defaults().value(attribution::kResultKey).has_value());
}

struct TzCase {
  const char* name;
  const char* tz;
  int minutes;
};

void PrintTo(const TzCase& c, std::ostream* out) { *out << c.name; }

class InstallTimeZone : public InstallRequest, public ::testing::WithParamInterface<TzCase> {};

TEST_P(InstallTimeZone, TzIsTheNegatedOffsetInMinutes) {
  setenv("TZ", GetParam().tz, 1);
  Answers answers;
  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_TRUE(answers.waitFor(1));
  EXPECT_EQ(body(0).at("tz"), GetParam().minutes);
}

// POSIX TZ strings name the offset west of UTC: "XXX-8" is UTC+8.
INSTANTIATE_TEST_SUITE_P(Zones, InstallTimeZone,
                         ::testing::Values(TzCase{"UtcPlus8", "XXX-8", -480},
                                           TzCase{"UtcMinus5", "XXX5", 300},
                                           TzCase{"UtcPlus5h30", "XXX-5:30", -330},
                                           TzCase{"UtcMinus3h30", "XXX3:30", 210}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstallRequest, LinkBeforeStartRidesAlongUnchanged) {
  const auto link = Url::parse("myapp://open/a/IGNORED?la_code=A%26B%20C+D");
  ASSERT_TRUE(link);
  EXPECT_TRUE(Attribution::shared().handle(*link));
  Answers answers;
  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_TRUE(answers.waitFor(1));
  ASSERT_EQ(collector.count(), 1u);
  EXPECT_EQ(body(0).at("referrer"), "la_code=A&B C+D");
}

TEST_F(InstallRequest, LinkAfterAFailedStartSendsAndItsAnswerShowsAtTheNextStart) {
  collector.setResponse(kInstallPath, {500, ""});
  Answers answers;
  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_TRUE(answers.waitFor(1));

  collector.setResponse(kInstallPath, {200, kMatchedReply});
  EXPECT_TRUE(Attribution::shared().handle(*Url::parse("https://go.example.com/al/CODE7")));
  ASSERT_TRUE(collector.waitForRequests(2));
  EXPECT_EQ(body(1).at("referrer"), "la_code=CODE7");
  EXPECT_FALSE(body(0).contains("referrer"));
  ASSERT_TRUE(waitUntil([] { return defaults().boolean(attribution::kDoneKey); }));
  EXPECT_EQ(answers.count(), 1u);  // the link's request answers nobody

  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_EQ(answers.count(), 2u);
  EXPECT_TRUE(answers.result(1).matched());
  EXPECT_EQ(collector.count(), 2u);
}

TEST_F(InstallRequest, TwoStartsBeforeTheFirstReplyGiveTwoRequestsAndTwoCallbacks) {
  // Hold every reply until both requests have arrived.
  collector.onRequest([this](const testing::RecordedRequest&) { collector.waitForRequests(2); });
  Answers answers;
  Attribution::shared().start("app", server(), answers.callback());
  Attribution::shared().start("app", server(), answers.callback());
  ASSERT_TRUE(answers.waitFor(2));
  EXPECT_EQ(collector.requestsTo(kInstallPath).size(), 2u);
  EXPECT_TRUE(answers.result(0).matched());
  EXPECT_TRUE(answers.result(1).matched());
}

TEST_F(InstallRequest, ConcurrentReportsArriveWhileTheHostsCallbackBlocks) {
  // Shared with the callback, which may still be leaving when the test ends.
  struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
  };
  auto gate = std::make_shared<Gate>();
  Attribution::shared().start("app", server(), [gate](const Attribution::Result&) {
    std::unique_lock lock(gate->mutex);
    gate->entered = true;
    gate->changed.notify_all();
    // Bounded beyond the test's own wait, so a callback on the network thread fails the test.
    gate->changed.wait_for(lock, std::chrono::seconds(60), [&] { return gate->released; });
  });
  {
    std::unique_lock lock(gate->mutex);
    ASSERT_TRUE(
        gate->changed.wait_for(lock, std::chrono::seconds(15), [&] { return gate->entered; }));
  }
  platform::HttpRequest report;
  report.url = collector.url() + "rum";
  report.body = "{}";
  platform::systemHttpSession().start(std::move(report), nullptr);
  EXPECT_TRUE(collector.waitForRequests(2));
  std::lock_guard lock(gate->mutex);
  gate->released = true;
  gate->changed.notify_all();
}

}  // namespace
}  // namespace quillstone
