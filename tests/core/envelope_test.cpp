#include "core/envelope.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace quillstone::core {
namespace {

const EnvelopeContext kContext{"app", "VID", "SID", "1.2.3"};

std::set<std::string> keysOf(const nlohmann::json& object) {
  std::set<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.insert(key);
  return keys;
}

TEST(Envelope, NineKeysForEventsElevenForErrors) {
  const auto event = envelope("event", kContext, 1700000000123, nlohmann::json::object());
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

  const auto error = errorEnvelope(kContext, "user", "UUID", 5, nlohmann::json::object());
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
  const auto report = envelope("event", kContext, 1, {{"deep", {{"list", {1, GetParam()}}}}});
  EXPECT_FALSE(hasJsonForm(report));
  EXPECT_EQ(serialize(report), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Values, NoJsonForm,
                         ::testing::Values(std::numeric_limits<double>::quiet_NaN(),
                                           std::numeric_limits<double>::infinity(),
                                           -std::numeric_limits<double>::infinity(),
                                           nlohmann::json(nlohmann::json::value_t::discarded)));

TEST(Serialize, InvalidUtf8AnywhereBecomesReplacementCharacter) {
  const EnvelopeContext broken{"app\xff", "VID", "SID", "1.\xc3"};
  const auto text = serialize(envelope("event", broken, 1, {{"k\xfe", "v"}}));
  ASSERT_TRUE(text);
  const auto parsed = nlohmann::json::parse(*text);
  EXPECT_EQ(parsed["id"], "app\xEF\xBF\xBD");
  EXPECT_EQ(parsed["release"], "1.\xEF\xBF\xBD");
  EXPECT_TRUE(parsed["data"].contains("k\xEF\xBF\xBD"));
}

}  // namespace
}  // namespace quillstone::core
