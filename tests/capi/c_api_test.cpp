// The C interface as a C host uses it: NULL arguments, host text and the shapes handed to its
// callbacks, against the loopback collector. Compiling this file also compiles the C header as
// C++.
#include <gtest/gtest.h>
#include <quillstone/quillstone.h>
#include <quillstone/quillstone.hpp>

#include <climits>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/reports.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"
#include "support/wait.hpp"

namespace quillstone {
namespace {

using Json = nlohmann::json;

constexpr const char* kReplacement = "\xEF\xBF\xBD";
// Long enough for a loaded machine; a flush returns as soon as everything was answered.
constexpr long kFlushMillis = 15000;

// A string the library returned, released here.
std::string taken(char* text) {
  std::string copy = text ? text : "(null)";
  quillstone_free(text);
  return copy;
}

class CApi : public ::testing::Test {
 protected:
  // Started from a handle that is freed at once: the client must have kept its own copy.
  void start() {
    quillstone_config_t* config =
        quillstone_config_new("c-app", collector_.url().c_str(), "2.0", "test");
    ASSERT_NE(config, nullptr);
    quillstone_config_set_report_crash(config, 0);
    quillstone_config_set_report_device(config, 0);
    quillstone_start(config);
    quillstone_config_free(config);
  }

  // Every report sent so far, parsed, in the order they arrived (which several connections may
  // make differ from the order they were sent in).
  std::vector<Json> deliveredReports() {
    EXPECT_EQ(quillstone_flush(kFlushMillis), 1) << "not every report was delivered";
    std::vector<Json> reports;
    for (const auto& request : collector_.requestsTo("/rum")) {
      reports.push_back(Json::parse(request.body));
    }
    return reports;
  }

  testing::TempHome home_;
  testing::Collector collector_;
};

TEST_F(CApi, NullArgumentsTakeTheirDocumentedFallbacks) {
  start();
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"config setters",
       [] {
         quillstone_config_set_env(nullptr, "x");
         quillstone_config_set_report_crash(nullptr, 1);
         quillstone_config_set_report_device(nullptr, 1);
         quillstone_config_set_require_consent(nullptr, 1);
         quillstone_config_set_offline_outbox(nullptr, 1);
       }},
      {"config text", [] { quillstone_config_set_env(nullptr, nullptr); }},
      {"start", [] { quillstone_start(nullptr); }},
      {"config free", [] { quillstone_config_free(nullptr); }},
      {"event without name", [] { quillstone_track(nullptr, 1, nullptr, 0); }},
      {"event with NULL properties", [] { quillstone_track("no-props", 1, nullptr, 3); }},
      {"page", [] { quillstone_set_page(nullptr); }},
      {"user", [] { quillstone_set_user(nullptr); }},
      {"error", [] { quillstone_capture(nullptr, nullptr, nullptr); }},
      {"breadcrumb", [] { quillstone_add_breadcrumb(nullptr, nullptr); }},
      {"log handler", [] { quillstone_set_log_handler(nullptr, nullptr); }},
      {"attribution",
       [this] {
         quillstone_attribution_start(nullptr, collector_.url().c_str(), nullptr, nullptr);
       }},
      {"free", [] { quillstone_free(nullptr); }},
  };
  for (const auto& [what, call] : calls) {
    SCOPED_TRACE(what);
    call();
  }
  EXPECT_EQ(taken(quillstone_normalize(nullptr, 3)), "");
  EXPECT_EQ(taken(quillstone_resolve_server(nullptr)), Quillstone::defaultServer);
  EXPECT_EQ(quillstone_attribution_handle(nullptr), 0);
  quillstone_config_t* config = quillstone_config_new(nullptr, nullptr, nullptr, nullptr);
  EXPECT_NE(config, nullptr);
  quillstone_config_free(config);

  // Only the two calls whose report stands without the missing text were sent.
  auto reports = deliveredReports();
  ASSERT_EQ(reports.size(), 2u);
  if (reports[0]["type"] == "error") std::swap(reports[0], reports[1]);
  EXPECT_EQ(reports[0]["data"]["name"], "no-props");
  EXPECT_EQ(reports[0]["data"]["props"], Json::object());
  EXPECT_EQ(reports[1]["type"], "error");
  EXPECT_EQ(reports[1]["data"]["name"], "");
  EXPECT_EQ(reports[1]["data"]["message"], "");
  EXPECT_EQ(reports[1]["data"]["path"], "");
}

TEST_F(CApi, PropertiesSkipNullSidesKeepTheLaterDuplicateAndCleanText) {
  start();
  const quillstone_property_t props[] = {
      {nullptr, "no key"}, {"no value", nullptr}, {"dup", "1"}, {"dup", "2"}, {"bad\xFF", "x\xC3"},
  };
  quillstone_track("caf\xC3", 1.5, props, sizeof props / sizeof props[0]);
  // The longest timeout a host can pass still waits rather than overflow the deadline.
  EXPECT_EQ(quillstone_flush(LONG_MAX), 1);
  const auto reports = deliveredReports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["data"]["name"], std::string("caf") + kReplacement);
  const Json expected = {{"dup", "2"},
                         {std::string("bad") + kReplacement, std::string("x") + kReplacement}};
  EXPECT_EQ(reports[0]["data"]["props"], expected);
}

TEST_F(CApi, BreadcrumbDataIsJsonObjectTextAndOtherTextIsRefusedAndLogged) {
  struct Log {
    std::mutex mutex;
    std::vector<std::string> lines;
  } log;
  quillstone_set_log_handler(
      [](const char* line, void* userData) {
        auto* target = static_cast<Log*>(userData);
        std::lock_guard guard(target->mutex);
        target->lines.emplace_back(line);
      },
      &log);
  start();
  quillstone_add_breadcrumb("object", R"({"button":"pay","n":1})");
  quillstone_add_breadcrumb("none", nullptr);
  quillstone_add_breadcrumb("empty", "");
  for (const char* refused : {"[1]", "42", "{\"open\":", "not json"}) {
    quillstone_add_breadcrumb("refused", refused);
  }
  quillstone_capture("E", "m", "stack");
  quillstone_set_log_handler(nullptr, nullptr);

  const auto reports = deliveredReports();
  ASSERT_EQ(reports.size(), 1u);
  std::vector<std::pair<std::string, Json>> crumbs;
  for (const auto& crumb : reports[0]["data"]["breadcrumbs"]) {
    crumbs.emplace_back(crumb["type"], crumb["data"]);
  }
  const std::vector<std::pair<std::string, Json>> expected = {
      {"object", {{"button", "pay"}, {"n", 1}}},
      {"none", Json::object()},
      {"empty", Json::object()},
  };
  EXPECT_EQ(crumbs, expected);
  std::lock_guard guard(log.mutex);
  const std::string refusal = std::string(client::kLogBreadcrumbNotAnObject) + "\"refused\"";
  EXPECT_EQ(log.lines, std::vector<std::string>(4, refusal));
}

TEST_F(CApi, AttributionAnswerReachesTheCallbackWithItsParametersAndUserData) {
  collector_.setResponse(
      "/attrib/install",
      {200, R"({"matched":true,"channel":{"code":"ch","name":"Channel"},"method":"link",)"
            R"("params":{"b":"2","a":"1"}})"});
  struct Answer {
    std::mutex mutex;
    int calls = 0;
    int matched = 0;
    std::string channel, channelName, method;
    std::map<std::string, std::string> params;
  } answer;
  quillstone_attribution_start(
      "c-app", collector_.url().c_str(),
      [](const quillstone_attribution_result_t* result, void* userData) {
        auto* target = static_cast<Answer*>(userData);
        std::lock_guard guard(target->mutex);
        ++target->calls;
        target->matched = result->matched;
        target->channel = result->channel;
        target->channelName = result->channel_name;
        target->method = result->method;
        for (size_t i = 0; i < result->param_count; ++i) {
          target->params[result->params[i].key] = result->params[i].value;
        }
      },
      &answer);
  ASSERT_TRUE(testing::waitUntil([&] {
    std::lock_guard guard(answer.mutex);
    return answer.calls == 1;
  }));
  EXPECT_EQ(quillstone_attribution_handle("app://open/a/CODE7"), 1);
  EXPECT_EQ(quillstone_attribution_handle("app://open/nothing"), 0);
  EXPECT_EQ(quillstone_attribution_handle("not a url"), 0);
  std::lock_guard guard(answer.mutex);
  EXPECT_EQ(answer.matched, 1);
  EXPECT_EQ(answer.channel, "ch");
  EXPECT_EQ(answer.channelName, "Channel");
  EXPECT_EQ(answer.method, "link");
  EXPECT_EQ(answer.params, (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}}));
}

}  // namespace
}  // namespace quillstone
