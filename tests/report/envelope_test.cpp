#include "report/envelope.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace quillstone::report {
namespace {

const EnvelopeContext kContext{"app", "VID", "SID", "1.2.3"};

std::set<std::string> keysOf(const nlohmann::json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

// An error report written as one text has exactly the bytes of its data wrapped afterwards.
TEST(Envelope, AnErrorReportWrittenAsOneTextIsItsDataInItsEnvelope) {
  const ErrorFields cases[] = {
      {"E", "m", "0   app   0x1\\n", "/p", R"({"model":"x"})", "[]", ""},
      {"na\"me\x01", "line\nbreak", "", "", "{}", R"([{"t":1}])", R"([{"name":"a"}])"},
      {"", "", "", "", "", "", ""},
  };
  for (const ErrorFields& fields : cases) {
    EXPECT_EQ(errorReport(kContext, "u\"1", "UUID", 42, fields),
              errorEnvelope(kContext, "u\"1", "UUID", 42, errorData(fields)));
  }
}

TEST(Envelope, NineKeysForEventsElevenForErrors) {
  const auto event = nlohmann::json::parse(envelope("event", kContext, 1700000000123, "{}"));
  EXPECT_EQ(keysOf(event), (std::set<std::string>{"id", "type", "platform", "vid", "sid", "release",
                                                  "sdk", "ts", "data"}));
  EXPECT_EQ(event["id"], "app");
  EXPECT_EQ(event["type"], "event");
  EXPECT_EQ(event["platform"], "ios");
  EXPECT_EQ(event["vid"], "VID");
  EXPECT_EQ(event["sid"], "SID");
  EXPECT_EQ(event["release"], "1.2.3");
  EXPECT_EQ(event["sdk"], "1.0.0-ios");
  EXPECT_TRUE(event["ts"].is_number_integer());
  EXPECT_EQ(event["ts"], 1700000000123);

  const auto error = nlohmann::json::parse(errorEnvelope(kContext, "user", "UUID", 5, "{}"));
  EXPECT_EQ(keysOf(error).size(), 11u);
  EXPECT_EQ(error["type"], "error");
  EXPECT_EQ(error["userId"], "user");
  EXPECT_EQ(error["imageUUID"], "UUID");
}

TEST(Serialize, CompactText) {
  const auto text = serialize(nlohmann::json{{"a", {1, 2}}, {"b", "c d"}});
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, R"({"a":[1,2],"b":"c d"})");
}

class NoJsonForm : public ::testing::TestWithParam<nlohmann::json> {};

TEST_P(NoJsonForm, IsRefusedAtAnyDepth) {
  const nlohmann::json data = {{"deep", {{"list", {1, GetParam()}}}}};
  EXPECT_FALSE(hasJsonForm(data));
  EXPECT_EQ(serialize(data), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Values, NoJsonForm,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity(),
                                           -std::numeric_limits<double>::infinity(),
                                           nlohmann::json(nlohmann::json::value_t::discarded)));

TEST(Envelope, InvalidUtf8AnywhereBecomesReplacementCharacter) {
  const EnvelopeContext broken{"app\xff", "VID", "SID", "1.\xc3"};
  const auto data = serialize(nlohmann::json{{"k\xfe", "v"}});
  ASSERT_TRUE(data);
  const auto parsed = nlohmann::json::parse(envelope("event", broken, 1, *data));
  EXPECT_EQ(parsed["id"], "app\xEF\xBF\xBD");
  EXPECT_EQ(parsed["release"], "1.\xEF\xBF\xBD");
  EXPECT_TRUE(parsed["data"].contains("k\xEF\xBF\xBD"));
}

// Reports are written member by member; the bytes must be those the JSON library writes for
// the same report, which is what they always were.
TEST(Envelope, IsTheTextTheJsonLibraryWritesForTheSameReport) {
  const EnvelopeContext context{"a\"pp\\", "V\x01ID", "S\tID", "1.\xc3 \x7f"};
  const nlohmann::json data = {{"x", 1}};
  const nlohmann::json event = {{"id", context.appId},
                                {"type", "event"},
                                {"platform", "ios"},
                                {"vid", context.installId},
                                {"sid", context.sessionId},
                                {"release", context.release},
                                {"sdk", "1.0.0-ios"},
                                {"ts", -42},
                                {"data", data}};
  EXPECT_EQ(envelope("event", context, -42, data.dump()),
            event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));

  nlohmann::json error = event;
  error["type"] = "error";
  error["userId"] = "u\u2028\xf0\x9f\x98\x80";
  error["imageUUID"] = "\xed\xa0\x80";  // an encoded surrogate is not UTF-8
  EXPECT_EQ(errorEnvelope(context, error["userId"].get<std::string>(),
                          error["imageUUID"].get<std::string>(), -42, data.dump()),
            error.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// One thread's envelopes follow one another; each must carry its own members, even when only
// one of them differs from the envelope before it.
TEST(Envelope, EachOfSuccessiveEnvelopesCarriesItsOwnMembers) {
  struct Written {
    std::string type;
    EnvelopeContext context;
  };
  const Written sequence[] = {
      {"event", {"app", "VID", "SID", "1.0"}},    {"event", {"app2", "VID", "SID", "1.0"}},
      {"event", {"app2", "VID2", "SID", "1.0"}},  {"event", {"app2", "VID2", "SID2", "1.0"}},
      {"event", {"app2", "VID2", "SID2", "2.0"}}, {"device", {"app2", "VID2", "SID2", "2.0"}},
      {"event", {"app2", "VID2", "SID2", "2.0"}}, {"event", {"app", "VID", "SID", "1.0"}},
  };
  for (const Written& written : sequence) {
    const auto parsed = nlohmann::json::parse(envelope(written.type, written.context, 7, "{}"));
    EXPECT_EQ(parsed["type"], written.type);
    EXPECT_EQ(parsed["id"], written.context.appId);
    EXPECT_EQ(parsed["vid"], written.context.installId);
    EXPECT_EQ(parsed["sid"], written.context.sessionId);
    EXPECT_EQ(parsed["release"], written.context.release);
  }
  // Errors also carry the user and the build: each of those changes alone too, between events.
  struct WrittenError {
    std::string userId;
    std::string imageUUID;
    EnvelopeContext context;
  };
  const WrittenError errors[] = {
      {"u1", "B1", {"app", "VID", "SID", "1.0"}}, {"u2", "B1", {"app", "VID", "SID", "1.0"}},
      {"u2", "B2", {"app", "VID", "SID", "1.0"}}, {"u2", "B2", {"app", "VID", "SID2", "1.0"}},
      {"u1", "B1", {"app", "VID", "SID", "1.0"}},
  };
  for (const WrittenError& written : errors) {
    const auto parsed = nlohmann::json::parse(
        errorEnvelope(written.context, written.userId, written.imageUUID, 7, "{}"));
    EXPECT_EQ(parsed["type"], "error");
    EXPECT_EQ(parsed["userId"], written.userId);
    EXPECT_EQ(parsed["imageUUID"], written.imageUUID);
    EXPECT_EQ(parsed["sid"], written.context.sessionId);
    EXPECT_EQ(nlohmann::json::parse(envelope("event", written.context, 7, "{}")).count("userId"),
              0u);
  }
}

}  // namespace
}  // namespace quillstone::report
