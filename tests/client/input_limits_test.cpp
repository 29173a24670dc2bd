// Host text past its limit, as the collection server receives it: cut at a character, and the
// report still arrives.
#include "base/input_limits.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <quillstone/quillstone.hpp>

#include "base/text.hpp"
#include "support/collector.hpp"
#include "support/temp_home.hpp"

namespace quillstone {
namespace {

using Json = nlohmann::json;

const std::string kReplacement = "\xEF\xBF\xBD";
const std::string kEuro = "\xE2\x82\xAC";          // three bytes
const std::string kGrinning = "\xF0\x9F\x98\x80";  // four bytes
const std::string kAcute = "\xCC\x81";             // combining, two bytes

std::string repeat(std::string_view text, std::size_t count) {
  std::string out;
  out.reserve(text.size() * count);
  for (std::size_t i = 0; i < count; ++i) out += text;
  return out;
}

class InputLimits : public ::testing::Test {
 protected:
  static Quillstone& client() { return Quillstone::shared(); }

  void start() {
    client().start(Quillstone::Config("app", Quillstone::resolveServer(collector_.url()), "1.0",
                                      "test", false, false, false));
  }

  // The n-th report to arrive (1-based), parsed.
  Json report(std::size_t n) {
    if (!collector_.waitForRequests(n)) {
      ADD_FAILURE() << "report " << n << " did not arrive";
      return Json::object();
    }
    return Json::parse(collector_.requests()[n - 1].body);
  }

  testing::TempHome home_;
  testing::Collector collector_;
};

struct LimitCase {
  std::string label;
  std::size_t limit;
  std::string given;
  std::string expected;
  // Makes one report carry `text` in the limited field.
  std::function<void(Quillstone&, const std::string&)> send;
  std::function<Json(const Json&)> field;
};

void PrintTo(const LimitCase& c, std::ostream* os) { *os << c.label; }

// A character straddling the limit, all but its last byte within it: none of it is kept.
LimitCase straddling(std::string label, std::size_t limit,
                     std::function<void(Quillstone&, const std::string&)> send,
                     std::function<Json(const Json&)> field) {
  return {std::move(label),       limit,           repeat("a", limit - 3) + kGrinning + "tail",
          repeat("a", limit - 3), std::move(send), std::move(field)};
}

void errorWithName(Quillstone& qs, const std::string& text) { qs.capture(text, "m", "s"); }
void errorWithMessage(Quillstone& qs, const std::string& text) { qs.capture("E", text, "s"); }
void errorWithStack(Quillstone& qs, const std::string& text) { qs.capture("E", "m", text); }
void eventWithName(Quillstone& qs, const std::string& text) { qs.track(text, 1, std::nullopt); }
void eventWithKey(Quillstone& qs, const std::string& text) {
  qs.track("e", 1, std::map<std::string, std::string>{{text, "v"}});
}
void eventWithValue(Quillstone& qs, const std::string& text) {
  qs.track("e", 1, std::map<std::string, std::string>{{"k", text}});
}
void errorOnPage(Quillstone& qs, const std::string& text) {
  qs.setPage(text);
  qs.capture("E", "m", "s");
}
void errorAfterBreadcrumb(Quillstone& qs, const std::string& text) {
  qs.addBreadcrumb(text, {});
  qs.capture("E", "m", "s");
}
void errorByUser(Quillstone& qs, const std::string& text) {
  qs.setUser(text);
  qs.capture("E", "m", "s");
}

Json dataName(const Json& r) { return r["data"]["name"]; }
Json dataMessage(const Json& r) { return r["data"]["message"]; }
Json dataStack(const Json& r) { return r["data"]["stack"]; }
Json dataPath(const Json& r) { return r["data"]["path"]; }
Json onlyPropertyKey(const Json& r) { return r["data"]["props"].begin().key(); }
Json propertyValue(const Json& r) { return r["data"]["props"]["k"]; }
Json lastBreadcrumbType(const Json& r) { return r["data"]["breadcrumbs"].back()["type"]; }
Json userId(const Json& r) { return r["userId"]; }

class LimitedFields : public InputLimits, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(LimitedFields, AreCutAtACharacterAndTheReportArrives) {
  const LimitCase& c = GetParam();
  start();
  c.send(client(), c.given);
  const Json value = c.field(report(1));
  ASSERT_TRUE(value.is_string()) << value.dump();
  const std::string text = value.get<std::string>();
  EXPECT_LE(text.size(), c.limit);
  EXPECT_TRUE(base::isValidUtf8(text));
  EXPECT_EQ(text, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    OverLongHostText, LimitedFields,
    ::testing::Values(
        straddling("EventName", base::kMaxNameBytes, eventWithName, dataName),
        straddling("PropertyKey", base::kMaxPropertyBytes, eventWithKey, onlyPropertyKey),
        straddling("PropertyValue", base::kMaxPropertyBytes, eventWithValue, propertyValue),
        straddling("ErrorName", base::kMaxNameBytes, errorWithName, dataName),
        straddling("ErrorMessage", base::kMaxMessageBytes, errorWithMessage, dataMessage),
        straddling("Stack", base::kMaxStackBytes, errorWithStack, dataStack),
        straddling("Page", base::kMaxPageBytes, errorOnPage, dataPath),
        straddling("BreadcrumbType", base::kMaxNameBytes, errorAfterBreadcrumb, lastBreadcrumbType),
        // One character as the user sees it, made long by combining marks.
        LimitCase{"UserIdOfOneLongCharacter", base::kMaxUserIdBytes,
                  "e" + repeat(kAcute, base::kMaxUserIdBytes), "e" + repeat(kAcute, 4095),
                  errorByUser, userId},
        // Within the limit as given, past it once the invalid byte is replaced.
        LimitCase{"NameGrownByReplacement", base::kMaxNameBytes,
                  "\xFF" + repeat("a", base::kMaxNameBytes - 4) + kEuro,
                  kReplacement + repeat("a", base::kMaxNameBytes - 4), eventWithName, dataName}),
    [](const auto& info) { return info.param.label; });

TEST_F(InputLimits, KeepsTheFirstHundredPropertiesInKeyOrder) {
  start();
  std::map<std::string, std::string> props;
  // Inserted last first: the keys decide, not the order they were given in.
  for (int i = 149; i >= 0; --i) {
    char key[8];
    std::snprintf(key, sizeof key, "k%03d", i);
    props[key] = "v";
  }
  client().track("e", 1, props);
  const Json sent = report(1)["data"]["props"];
  ASSERT_EQ(sent.size(), base::kMaxProperties);
  EXPECT_EQ(sent.begin().key(), "k000");
  EXPECT_TRUE(sent.contains("k099"));
  EXPECT_FALSE(sent.contains("k100"));
}

// Measured as its JSON text: control characters take six bytes each there.
TEST_F(InputLimits, RefusesABreadcrumbWhoseDataIsTooLargeAndStillReports) {
  start();
  const auto data = [](const std::string& value) { return R"({"k":")" + value + R"("})"; };
  const std::size_t wrapper = data("").size();
  // Spaces do not count: the data is measured as sent, not as the host wrote it.
  client().addBreadcrumb("fits",
                         " " + data(std::string(base::kMaxBreadcrumbDataBytes - wrapper, 'x')));
  client().addBreadcrumb("over",
                         data(std::string(base::kMaxBreadcrumbDataBytes - wrapper + 1, 'x')));
  client().addBreadcrumb("escaped", data(repeat("\\u0001", base::kMaxBreadcrumbDataBytes / 4)));
  client().capture("E", "m", "s");
  const Json crumbs = report(1)["data"]["breadcrumbs"];
  ASSERT_EQ(crumbs.size(), 1u);
  EXPECT_EQ(crumbs[0]["type"], "fits");
}

}  // namespace
}  // namespace quillstone
