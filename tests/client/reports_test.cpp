// Reports as the collection server receives them: the client against the loopback collector.
#include "client/reports.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <limits>
#include <mutex>
#include <quillstone/json.hpp>
#include <quillstone/quillstone.hpp>
#include <regex>
#include <set>

#include "base/input_limits.hpp"
#include "crash/crash_dir.hpp"
#include "platform/bundle.hpp"
#include "platform/defaults_store.hpp"
#include "platform/files.hpp"
#include "platform/http_session.hpp"
#include "support/child_process.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone {
namespace {

using ::testing::MatchesRegex;
using Json = nlohmann::json;

constexpr const char* kUuidPattern = "[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}";
constexpr const char* kReplacement = "\xEF\xBF\xBD";

std::set<std::string> keysOf(const Json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

const std::set<std::string> kEventKeys{"id",      "type", "platform", "vid", "sid",
                                       "release", "sdk",  "ts",       "data"};
const std::set<std::string> kErrorKeys{"id",  "type", "platform", "vid",    "sid",      "release",
                                       "sdk", "ts",   "data",     "userId", "imageUUID"};

class Reports : public ::testing::Test {
 protected:
  static Quillstone& client() { return Quillstone::shared(); }

  Quillstone::Config config() const {
    return Quillstone::Config("app-7", Quillstone::resolveServer(collector_.url()), "4.5.6", "test",
                              false, false, false);
  }
  void start() { client().start(config()); }

  // The n-th report to arrive (1-based), parsed. Every test waits for each report before it
  // sends the next, so arrival order is sending order.
  Json report(std::size_t n) {
    if (!collector_.waitForRequests(n)) {
      ADD_FAILURE() << "report " << n << " did not arrive";
      return Json::object();
    }
    const auto requests = collector_.requests();
    EXPECT_EQ(requests[n - 1].path, "/rum");
    return Json::parse(requests[n - 1].body);
  }

  // Sends an event that is certain to arrive and waits for it, so anything sent before it has
  // had its chance to arrive too.
  Json barrier(std::size_t n) {
    client().track("barrier", 0, std::nullopt);
    return report(n);
  }

  testing::TempHome home_;
  testing::Collector collector_;
};

TEST_F(Reports, EventHasNineKeysAndItsDataAsPassed) {
  start();
  client().track(" a ", 1.5, std::nullopt);
  const Json event = report(1);
  EXPECT_EQ(keysOf(event), kEventKeys);
  EXPECT_EQ(event["id"], "app-7");
  EXPECT_EQ(event["type"], "event");
  EXPECT_EQ(event["platform"], "ios");
  EXPECT_EQ(event["release"], "4.5.6");
  EXPECT_EQ(event["sdk"], "1.0.0-ios");
  EXPECT_THAT(event["sid"].get<std::string>(), MatchesRegex(kUuidPattern));
  EXPECT_THAT(event["vid"].get<std::string>(), MatchesRegex(kUuidPattern));
  EXPECT_EQ(platform::systemDefaults().string("qs_device_id"), event["vid"]);
  EXPECT_TRUE(event["ts"].is_number_integer());
  // Untrimmed name, "props" an empty object rather than null, "path" the initial page.
  EXPECT_EQ(event["data"],
            (Json{{"name", " a "}, {"value", 1.5}, {"props", Json::object()}, {"path", "/"}}));
}

TEST_F(Reports, EventCarriesPropertiesAndTheCurrentPage) {
  client().setPage("/cart");  // context set before start is kept
  start();
  client().track("buy", 2, std::map<std::string, std::string>{{"sku", "A1"}, {"n", ""}});
  const Json data = report(1)["data"];
  EXPECT_EQ(data["props"], (Json{{"sku", "A1"}, {"n", ""}}));
  EXPECT_EQ(data["path"], "/cart");
  EXPECT_EQ(data["value"], 2.0);
}

// Events are written member by member; the text must be exactly the compact text of the whole
// value, with properties in the order of their cleaned keys and the later of two keys that
// clean to the same text winning.
TEST_F(Reports, EventIsTheCompactTextOfTheWholeReport) {
  start();
  const std::string r = kReplacement;
  client().track("q\"\\\n\x01", -0.1,
                 std::map<std::string, std::string>{{"b", "x\ty"},
                                                    {"\xc3z", "first"},
                                                    {"\xd0", "second"},
                                                    {"a\xfe", "lost"},
                                                    {"a\xff", "kept"}});
  ASSERT_TRUE(collector_.waitForRequests(1));
  const std::string body = collector_.requests()[0].body;
  const Json event = Json::parse(body);
  EXPECT_EQ(body, event.dump());
  EXPECT_EQ(event["data"]["name"], "q\"\\\n\x01");
  EXPECT_EQ(event["data"]["value"], -0.1);
  EXPECT_EQ(event["data"]["props"],
            (Json{{"b", "x\ty"}, {r + "z", "first"}, {r, "second"}, {"a" + r, "kept"}}));
}

struct DroppedEvent {
  std::string label;
  std::string name;
  double value;
};

void PrintTo(const DroppedEvent& c, std::ostream* os) { *os << c.label; }

class DroppedEvents : public Reports, public ::testing::WithParamInterface<DroppedEvent> {};

TEST_P(DroppedEvents, SendNothing) {
  start();
  client().track(GetParam().name, GetParam().value, std::nullopt);
  barrier(1);
  barrier(2);
  EXPECT_EQ(collector_.count(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    BlankNamesAndNonFiniteValues, DroppedEvents,
    ::testing::Values(DroppedEvent{"Empty", "", 1}, DroppedEvent{"Spaces", "   ", 1},
                      DroppedEvent{"TabsAndLineBreaks", "\t\r\n \n", 1},
                      DroppedEvent{"IdeographicSpace", "\u3000", 1},
                      DroppedEvent{"LineSeparator", "\u2028\u2029\u0085", 1},
                      DroppedEvent{"NaN", "ok", std::numeric_limits<double>::quiet_NaN()},
                      DroppedEvent{"Infinity", "ok", std::numeric_limits<double>::infinity()},
                      DroppedEvent{"MinusInfinity", "ok",
                                   -std::numeric_limits<double>::infinity()}),
    [](const auto& info) { return info.param.label; });

TEST_F(Reports, HandledErrorHasElevenKeysAndEightDataKeys) {
  setenv("SIMULATOR_RUNTIME_VERSION", "17.2", 1);
  setenv("SIMULATOR_MODEL_IDENTIFIER", "iPhone15,2", 1);
  start();
  client().capture("IOError", "disk full", "   ");
  const Json error = report(1);
  EXPECT_EQ(keysOf(error), kErrorKeys);
  EXPECT_EQ(error["type"], "error");
  EXPECT_EQ(error["userId"], "");
  EXPECT_EQ(error["imageUUID"], Quillstone::imageUUID());
  EXPECT_THAT(error["imageUUID"].get<std::string>(), MatchesRegex(kUuidPattern));
  const Json expected{{"kind", "exception"},
                      {"level", "error"},
                      {"name", "IOError"},
                      {"message", "disk full"},
                      {"stack", "   "},  // spaces are a stack the host chose to send
                      {"path", "/"},
                      {"extra",
                       {{"device",
                         {{"platform", "ios"},
                          {"model", "iPhone15,2"},
                          {"osVersion", "iOS 17.2"},
                          {"appVersion", "4.5.6"}}}}},
                      {"breadcrumbs", Json::array()}};
  EXPECT_EQ(error["data"], expected);
}

TEST_F(Reports, EmptyStackBecomesTheCallersStack) {
  start();
  client().capture("E", "m", "");
  const std::string stack = report(1)["data"]["stack"];
  ASSERT_FALSE(stack.empty());
  const std::regex line("[0-9]+ *" + platform::executableName() + "   0x[0-9a-f]{16}");
  std::size_t lines = 0;
  for (std::size_t begin = 0; begin <= stack.size(); ++lines) {
    const auto end = std::min(stack.find('\n', begin), stack.size());
    EXPECT_TRUE(std::regex_match(stack.substr(begin, end - begin), line))
        << stack.substr(begin, end - begin);
    begin = end + 1;
  }
  EXPECT_GE(lines, 3u);  // the facade, this test and gtest's frames at least

  // Where the stack's images were loaded, the main program first.
  const Json images = report(1)["data"]["images"];
  ASSERT_TRUE(images.is_array()) << images.dump();
  EXPECT_EQ(images[0]["path"], platform::executablePath());
  EXPECT_EQ(images[0]["buildId"].get<std::string>().size(), 40u);  // the linker's SHA-1 id
}

TEST_F(Reports, PageChangesPathAndLeavesARouteBreadcrumb) {
  start();
  client().setPage("/home");
  client().track("view", 1, std::nullopt);
  EXPECT_EQ(report(1)["data"]["path"], "/home");
  client().capture("E", "m", "s");
  const Json data = report(2)["data"];
  EXPECT_EQ(data["path"], "/home");
  ASSERT_EQ(data["breadcrumbs"].size(), 1u);
  const Json crumb = data["breadcrumbs"][0];
  EXPECT_EQ(keysOf(crumb), (std::set<std::string>{"t", "type", "data"}));
  EXPECT_TRUE(crumb["t"].is_number_integer());
  EXPECT_EQ(crumb["type"], "route");
  EXPECT_EQ(crumb["data"], (Json{{"to", "/home"}}));
}

TEST_F(Reports, KeepsTheLatestTwentyBreadcrumbsOldestFirst) {
  start();
  for (int i = 0; i < 25; ++i) {
    client().addBreadcrumb("tap", R"({"i":)" + std::to_string(i) + R"(,"ok":true})");
  }
  client().capture("E", "m", "s");
  const Json crumbs = report(1)["data"]["breadcrumbs"];
  ASSERT_EQ(crumbs.size(), 20u);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(crumbs[i]["data"], (Json{{"i", i + 5}, {"ok", true}}));
    EXPECT_EQ(crumbs[i]["type"], "tap");
    if (i > 0) {
      EXPECT_LE(crumbs[i - 1]["t"], crumbs[i]["t"]);
    }
  }
}

// Breadcrumbs are written once when added and put into each error report's text: the report
// must still be exactly the compact text of the whole value, even when host text looks like the
// member that holds them. The host's text, however it is spaced and ordered, and the
// nlohmann::json form of the same object make the same bytes: those of the object's compact text.
TEST_F(Reports, ErrorReportIsTheCompactTextOfTheWholeReport) {
  start();
  const std::string lookalike = "\"breadcrumbs\":[]";
  const Json::object_t nested{{"list", {1, 2.5, -0.1, "x"}},
                              {"obj", {{"b", false}, {"a", nullptr}}}};
  const Json::object_t text{{"quote", lookalike}, {"日本", "ü \n\t"}};
  client().addBreadcrumb("nested", R"( { "obj": {"b": false, "a": null},
                                         "list": [1, 2.50, -1e-1, "x"] } )");
  addBreadcrumb(client(), "nested", nested);
  client().addBreadcrumb("text", Json(text).dump());
  addBreadcrumb(client(), "text", text);
  client().setPage("/p?q=" + lookalike);
  client().capture(lookalike, lookalike, lookalike);
  ASSERT_TRUE(collector_.waitForRequests(1));
  const std::string body = collector_.requests()[0].body;
  const Json error = Json::parse(body);
  EXPECT_EQ(body, error.dump());
  EXPECT_EQ(error["data"]["message"], lookalike);
  EXPECT_EQ(error["data"]["stack"], lookalike);
  const Json crumbs = error["data"]["breadcrumbs"];
  ASSERT_EQ(crumbs.size(), 5u);
  for (const std::size_t i : {0u, 1u}) {
    EXPECT_EQ(crumbs[i]["data"].dump(), Json(nested).dump());
    EXPECT_EQ(crumbs[i + 2]["data"].dump(), Json(text).dump());
  }
  EXPECT_EQ(crumbs[4]["data"]["to"], "/p?q=" + lookalike);
}

TEST_F(Reports, BreadcrumbWithoutJsonFormIsRefusedAndLaterErrorsStillGoOut) {
  start();
  addBreadcrumb(client(), "kept", {{"n", 1.25}});
  const double nan = std::numeric_limits<double>::quiet_NaN();
  addBreadcrumb(client(), "bad", {{"deep", {{"list", {1, nan}}}}});
  addBreadcrumb(client(), "bad", {{"x", std::numeric_limits<double>::infinity()}});
  client().capture("E", "m", "s");
  const Json crumbs = report(1)["data"]["breadcrumbs"];
  ASSERT_EQ(crumbs.size(), 1u);
  EXPECT_EQ(crumbs[0]["type"], "kept");
}

// The host learns why a breadcrumb is missing when its data is no object; data over a limit
// is dropped in silence, as a too large one always was.
TEST_F(Reports, DataThatIsNoObjectDropsTheBreadcrumbWithOneConsoleLine) {
  std::vector<std::string> lines;
  std::mutex mutex;
  Quillstone::setLogHandler([&](std::string_view line) {
    std::lock_guard guard(mutex);
    if (line.find("面包屑") != std::string_view::npos) lines.emplace_back(line);
  });
  start();
  client().addBreadcrumb("a \"tap\"", R"(["button","pay"])");
  client().addBreadcrumb("deep", R"({"a":)" + std::string(200, '[') + std::string(200, ']') + "}");
  client().addBreadcrumb("over",
                         R"({"k":")" + std::string(base::kMaxBreadcrumbDataBytes, 'x') + "\"}");
  client().capture("E", "m", "s");
  const Json crumbs = report(1)["data"]["breadcrumbs"];
  Quillstone::setLogHandler(nullptr);
  EXPECT_EQ(crumbs, Json::array());
  EXPECT_EQ(lines,
            std::vector<std::string>{"[qs] 面包屑数据不是 JSON 对象,已丢弃 \"a \\\"tap\\\"\""});
}

struct UserCase {
  std::string label;
  std::string given;
  std::string stored;
};

void PrintTo(const UserCase& c, std::ostream* os) { *os << c.label; }

std::string repeat(std::string_view text, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) out += text;
  return out;
}

const std::string kFamily = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466";
const std::string kFlag = "\U0001F1E8\U0001F1F3";

class UserIds : public Reports, public ::testing::WithParamInterface<UserCase> {};

TEST_P(UserIds, KeepTheFirst120Characters) {
  start();
  client().setUser(GetParam().given);
  client().capture("E", "m", "s");
  EXPECT_EQ(report(1)["userId"], GetParam().stored);
}

INSTANTIATE_TEST_SUITE_P(
    GraphemeCut, UserIds,
    ::testing::Values(UserCase{"Ascii200", repeat("a", 200), repeat("a", 120)},
                      UserCase{"Ascii120", repeat("b", 120), repeat("b", 120)},
                      UserCase{"FamilyEmoji121", repeat(kFamily, 121), repeat(kFamily, 120)},
                      UserCase{"FamilyEmoji120", repeat(kFamily, 120), repeat(kFamily, 120)},
                      UserCase{"Flags130", repeat(kFlag, 130), repeat(kFlag, 120)},
                      UserCase{"CombiningAccents", repeat("e\u0301", 119) + "xyz",
                               repeat("e\u0301", 119) + "x"},
                      UserCase{"NotTrimmed", " u ", " u "}, UserCase{"EmptyClears", "", ""}),
    [](const auto& info) { return info.param.label; });

TEST_F(Reports, SessionAndInstallStayTheSameAndTimeDoesNotGoBack) {
  start();
  client().track("one", 1, std::nullopt);
  const Json first = report(1);
  client().capture("E", "m", "s");
  const Json second = report(2);
  client().testEvent();
  const Json third = report(3);
  for (const Json* later : {&second, &third}) {
    EXPECT_EQ((*later)["sid"], first["sid"]);
    EXPECT_EQ((*later)["vid"], first["vid"]);
  }
  EXPECT_LE(first["ts"], second["ts"]);
  EXPECT_LE(second["ts"], third["ts"]);
}

TEST_F(Reports, NewProcessHasANewSessionAndTheSameInstall) {
  // The child runs first, before this process has a client, so it builds its own.
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  collector_.onRequest([&](const testing::RecordedRequest&) {
    [[maybe_unused]] auto written = write(ready[1], "x", 1);
  });
  const auto child = testing::runInChild([&] {
    client().start(config());
    client().track("child", 1, std::nullopt);
    pollfd wait{ready[0], POLLIN, 0};
    poll(&wait, 1, 15000);
    _exit(0);
  });
  EXPECT_TRUE(child.exited) << child.describe();
  const Json fromChild = report(1);
  ASSERT_EQ(fromChild["data"]["name"], "child");
  start();
  client().track("parent", 1, std::nullopt);
  const Json fromParent = report(2);
  EXPECT_NE(fromParent["sid"], fromChild["sid"]);
  EXPECT_EQ(fromParent["vid"], fromChild["vid"]);
  collector_.onRequest(nullptr);
  close(ready[0]);
  close(ready[1]);
}

TEST_F(Reports, InvalidUtf8InHostTextBecomesReplacementCharacters) {
  start();
  client().setUser("user\xff");
  client().setPage("/p\xc3");
  client().addBreadcrumb("t\xfe", "{\"k\x80\":\"v\xff\"}");
  client().track("ev\xff", 1, std::map<std::string, std::string>{{"k\xfe", "v\xc3"}});
  const Json event = report(1);
  EXPECT_EQ(event["data"]["name"], std::string("ev") + kReplacement);
  EXPECT_EQ(event["data"]["props"],
            (Json{{std::string("k") + kReplacement, std::string("v") + kReplacement}}));
  client().capture("n\xff", "m\xff", "s\xff");
  const Json error = report(2);
  const std::string r = kReplacement;
  EXPECT_EQ(error["userId"], "user" + r);
  EXPECT_EQ(error["data"]["name"], "n" + r);
  EXPECT_EQ(error["data"]["message"], "m" + r);
  EXPECT_EQ(error["data"]["stack"], "s" + r);
  EXPECT_EQ(error["data"]["path"], "/p" + r);
  ASSERT_EQ(error["data"]["breadcrumbs"].size(), 2u);
  EXPECT_EQ(error["data"]["breadcrumbs"][0]["data"], (Json{{"to", "/p" + r}}));
  EXPECT_EQ(error["data"]["breadcrumbs"][1]["type"], "t" + r);
  EXPECT_EQ(error["data"]["breadcrumbs"][1]["data"], (Json{{"k" + r, "v" + r}}));
}

TEST_F(Reports, CallsBeforeStartSendNothingButContextIsKept) {
  client().setUser("early-user");
  client().setPage("/early");
  client().addBreadcrumb("tap", R"({"x":1})");
  client().track("early", 1, std::nullopt);
  client().capture("E", "m", "");
  client().testEvent();
  start();
  barrier(1);
  EXPECT_EQ(collector_.count(), 1u);
  client().capture("Later", "m", "s");
  const Json error = report(2);
  EXPECT_EQ(error["userId"], "early-user");
  EXPECT_EQ(error["data"]["path"], "/early");
  ASSERT_EQ(error["data"]["breadcrumbs"].size(), 2u);
  EXPECT_EQ(error["data"]["breadcrumbs"][0]["type"], "route");
  EXPECT_EQ(error["data"]["breadcrumbs"][1]["type"], "tap");
  EXPECT_EQ(collector_.count(), 2u);
}

TEST_F(Reports, TestEventSendsTheFixedErrorWithTheCallersStack) {
  start();
  client().testEvent();
  const Json error = report(1);
  EXPECT_EQ(keysOf(error), kErrorKeys);
  EXPECT_EQ(error["data"]["kind"], "exception");
  EXPECT_EQ(error["data"]["name"], "TestEvent");
  const std::string message = error["data"]["message"];
  EXPECT_EQ(message, "接入自检 —— 看到这条说明已经接通");
  EXPECT_EQ(message.size(), 50u);
  EXPECT_FALSE(error["data"]["stack"].get<std::string>().empty());
}

TEST_F(Reports, ConcurrentFlushOnALibraryThreadReturnsFalseAtOnce) {
  start();
  client().track("queued", 0, std::nullopt);
  // Queued behind the report on the thread that sends it: waiting there would wait for itself.
  std::atomic<int> answer{-1};
  platform::systemHttpSession().dispatch(
      [&] { answer = client().flush(std::chrono::hours(1)) ? 1 : 0; });
  ASSERT_TRUE(testing::waitUntil([&] { return answer.load() != -1; }));
  EXPECT_EQ(answer.load(), 0);
  EXPECT_TRUE(client().flush(std::chrono::seconds(15)));
  EXPECT_EQ(collector_.count(), 1u);
}

TEST_F(Reports, SwitchedOffNeitherWritesNorUploadsCrashFilesUntilOnAgain) {
  client().setEnabled(false);
  const std::string directory = crash::crashDirectory();
  const std::string pending = directory + "/earlier-run.json";
  std::filesystem::create_directories(directory);
  ASSERT_TRUE(platform::writeFileAtomically(pending, "{\"pending\":1}", 0600));
  auto withCrashes = config();
  withCrashes.setReportCrash(true);
  client().start(withCrashes);
  client().track("while-off", 0, std::nullopt);
  EXPECT_TRUE(client().flush(std::chrono::seconds(15)));  // nothing was queued

  const auto result = testing::runInChild([] { Quillstone::shared().testCrash(); });
  EXPECT_TRUE(result.signaled && result.signal == SIGILL) << result.describe();
  EXPECT_FALSE(platform::readFile(directory + "/crash-signal.json").has_value());
  EXPECT_EQ(collector_.count(), 0u);

  client().setEnabled(true);
  EXPECT_TRUE(client().flush(std::chrono::seconds(15)));
  ASSERT_EQ(collector_.count(), 1u);
  EXPECT_EQ(collector_.requests()[0].body, "{\"pending\":1}");
  EXPECT_FALSE(platform::readFile(pending).has_value());
}

TEST(TestCrash, EndsTheProcessWithSigill) {
  const auto result = testing::runInChild([] { Quillstone::shared().testCrash(); });
  EXPECT_TRUE(result.signaled) << result.describe();
  EXPECT_EQ(result.signal, SIGILL);
}

TEST(Normalize, FacadeFormatsWithTheMainProgram) {
  const std::vector<std::uint64_t> none;
  EXPECT_EQ(Quillstone::shared().normalize(none), "");
  EXPECT_EQ(Quillstone::shared().normalize(nullptr, 3), "");
  const std::uint64_t one[] = {0};
  EXPECT_EQ(Quillstone::shared().normalize(one),
            "0   " + platform::executableName() + "   0x0000000000000000");
}

}  // namespace
}  // namespace quillstone
