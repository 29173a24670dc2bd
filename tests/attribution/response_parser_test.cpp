#include "attribution/response_parser.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace quillstone::attribution {
namespace {

ParsedResponse answer(bool matched, std::string channel, std::string channelName,
                      std::string method, std::map<std::string, std::string> params = {}) {
  return ParsedResponse{matched, std::move(channel), std::move(channelName), std::move(method),
                        std::move(params)};
}

struct ParseCase {
  const char* name;
  std::string text;
  ParsedResponse expected;
};

void PrintTo(const ParseCase& c, std::ostream* out) { *out << c.name; }

class ParseResponse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseResponse, GivesTheExpectedAnswer) {
  const ParsedResponse got = parseResponse(GetParam().text);
  const ParsedResponse& want = GetParam().expected;
  EXPECT_EQ(got.matched, want.matched);
  EXPECT_EQ(got.channel, want.channel);
  EXPECT_EQ(got.channelName, want.channelName);
  EXPECT_EQ(got.method, want.method);
  EXPECT_EQ(got.params, want.params);
}

const ParseCase kCases[] = {
    {"FullAnswer",
     R"({"matched":true,"channel":{"code":"tw","name":"Twitter"},"method":"link",)"
     R"("params":{"campaign":"spring"},"extra":[1]})",
     answer(true, "tw", "Twitter", "link", {{"campaign", "spring"}})},
    {"EmptyObject", "{}", ParsedResponse{}},
    {"OnlyMatched", R"({"matched":true})", answer(true, "", "", "none")},
    {"ChannelAsString", R"({"channel":"tw","method":"link"})", answer(false, "", "", "link")},
    {"NumericCodeIsNotConverted", R"({"channel":{"code":7,"name":"Seven"}})",
     answer(false, "", "Seven", "none")},
    {"ParamValuesAsText",
     R"({"params":{"s":"x y","i":42,"neg":-3,"t":true,"f":false,"whole":1.0,"half":1.5}})",
     answer(false, "", "", "none",
            {{"s", "x y"},
             {"i", "42"},
             {"neg", "-3"},
             {"t", "1"},
             {"f", "0"},
             {"whole", "1"},
             {"half", "1.5"}})},
    {"ParamsAsArrayLeaveOthersFilled", R"({"matched":true,"method":"m","params":["a"]})",
     answer(true, "", "", "m")},
    {"MatchedOne", R"({"matched":1})", answer(true, "", "", "none")},
    {"MatchedZero", R"({"matched":0})", ParsedResponse{}},
    {"MatchedTwo", R"({"matched":2})", ParsedResponse{}},
    {"MatchedStringTrue", R"({"matched":"true"})", ParsedResponse{}},
    {"MatchedNull", R"({"matched":null})", ParsedResponse{}},
    {"MethodAsNumber", R"({"method":3})", ParsedResponse{}},
    {"TopLevelArray", R"([{"matched":true}])", ParsedResponse{}},
    {"Null", "null", ParsedResponse{}},
    {"Empty", "", ParsedResponse{}},
    {"PlainText", "Service Unavailable", ParsedResponse{}},
    {"HtmlPage", "<html><body>502</body></html>", ParsedResponse{}},
    {"TruncatedObject", R"({"matched":true,"channel":{"code":"x")", ParsedResponse{}},
    {"TrailingGarbage", R"({"matched":true} x)", ParsedResponse{}},
    {"InvalidUtf8InString", "{\"method\":\"\xff\"}", ParsedResponse{}},
};

INSTANTIATE_TEST_SUITE_P(Table, ParseResponse, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ParseResponseNesting, NullArraysAndObjectsInParamsBecomeJsonText) {
  const auto got = parseResponse(R"({"params":{"n":null,"a":[1,"b"],"o":{"k":true}}})");
  EXPECT_EQ(got.params.at("n"), "null");
  EXPECT_EQ(got.params.at("a"), R"([1,"b"])");
  EXPECT_EQ(got.params.at("o"), R"({"k":true})");
}

TEST(ParseResponseNesting, DeeplyNestedTextGivesTheEmptyResultWithoutExhaustingTheStack) {
  const std::size_t depth = 1'000'000;
  const std::string nested = R"({"matched":true,"params":{"deep":)" + std::string(depth, '[') +
                             std::string(depth, ']') + "}}";
  EXPECT_EQ(parseResponse(nested), ParsedResponse{});
  // Brackets inside strings are text, not nesting.
  const std::string quoted = R"({"matched":true,"method":")" + std::string(1000, '[') + "\"}";
  EXPECT_TRUE(parseResponse(quoted).matched);
}

TEST(ParseResponseFuzz, AnyTextGivesAnAnswer) {
  const std::string seed =
      R"({"matched":true,"channel":{"code":"c","name":"n"},"method":"m","params":{"a":1,"b":[null]}})";
  std::mt19937 random(20240501);
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(random() % 8);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[at] = static_cast<char>(random() % 256);
          break;
        case 1:
          text.erase(at, 1 + random() % 4);
          break;
        default:
          text.insert(at, 1, "{}[]\",:0\\"[random() % 9]);
          break;
      }
    }
    // Never throws or crashes; a method other than "none" can only come from the text.
    const auto got = parseResponse(text);
    if (got.method != "none") {
      EXPECT_NE(text.find("method"), std::string::npos) << text;
    }
  }
}

}  // namespace
}  // namespace quillstone::attribution
