#include "report/breadcrumb_data.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

#include "base/input_limits.hpp"

namespace quillstone::report {
namespace {

using Verdict = BreadcrumbData::Verdict;

// The data's object with `levels` objects and arrays inside one another, itself counted.
std::string nested(std::size_t levels) {
  return R"({"a":)" + std::string(levels - 1, '[') + std::string(levels - 1, ']') + "}";
}

// `{}` with spaces before it, `length` bytes in all.
std::string padded(std::size_t length) { return std::string(length - 2, ' ') + "{}"; }

struct DataCase {
  std::string label;
  std::string text;
  Verdict verdict;
  std::string sent;  // the compact text, when kept
};

void PrintTo(const DataCase& c, std::ostream* os) { *os << c.label; }

class BreadcrumbDataText : public ::testing::TestWithParam<DataCase> {};

TEST_P(BreadcrumbDataText, IsKeptAsCompactTextOrRefused) {
  const BreadcrumbData data = parseBreadcrumbData(GetParam().text);
  EXPECT_EQ(data.verdict, GetParam().verdict);
  if (GetParam().verdict == Verdict::kept) {
    EXPECT_EQ(data.text, GetParam().sent);
    EXPECT_EQ(data.object.dump(), GetParam().sent);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BreadcrumbDataText,
    ::testing::Values(
        DataCase{"empty", "", Verdict::kept, "{}"},
        DataCase{"spacedAndUnsorted", R"( {"b": 1.50, "a": [true, null, -1e-1]} )", Verdict::kept,
                 R"({"a":[true,null,-0.1],"b":1.5})"},
        DataCase{"invalidUtf8InAString", "{\"k\xff\":\"v\xe4\xb8\"}", Verdict::kept,
                 "{\"k\xEF\xBF\xBD\":\"v\xEF\xBF\xBD\xEF\xBF\xBD\"}"},
        DataCase{"array", "[1]", Verdict::notAnObject, ""},
        DataCase{"string", R"("x")", Verdict::notAnObject, ""},
        DataCase{"unfinished", R"({"a":)", Verdict::notAnObject, ""},
        DataCase{"textAfterTheObject", "{} {}", Verdict::notAnObject, ""},
        DataCase{"numberBeyondDouble", R"({"x":1e999})", Verdict::notAnObject, ""},
        DataCase{"invalidUtf8OutsideStrings", "\xff{}", Verdict::notAnObject, ""},
        DataCase{"deepestAllowed", nested(base::kMaxBreadcrumbDepth), Verdict::kept,
                 nested(base::kMaxBreadcrumbDepth)},
        DataCase{"tooDeep", nested(base::kMaxBreadcrumbDepth + 1), Verdict::overLimit, ""},
        DataCase{"longestAllowed", padded(base::kMaxBreadcrumbTextBytes), Verdict::kept, "{}"},
        DataCase{"tooLong", padded(base::kMaxBreadcrumbTextBytes + 1), Verdict::overLimit, ""}),
    [](const auto& info) { return info.param.label; });

struct StraightCase {
  std::string label;
  std::string text;
};

void PrintTo(const StraightCase& c, std::ostream* os) { *os << c.label; }

class StraightWriting : public ::testing::TestWithParam<StraightCase> {};

// The usual data is written straight from the text; every text must come out as the full parse
// writes it, or be refused alike.
TEST_P(StraightWriting, GivesTheFullParsesVerdictAndBytes) {
  const BreadcrumbData parsed = parseBreadcrumbData(GetParam().text);
  std::string written = "x";
  EXPECT_EQ(appendBreadcrumbData(written, GetParam().text), parsed.verdict);
  EXPECT_EQ(written, parsed.verdict == Verdict::kept ? "x" + parsed.text : "x");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StraightWriting,
    ::testing::Values(
        StraightCase{"empty", ""}, StraightCase{"usual", R"({"action":"tap","target":"buy"})"},
        StraightCase{"spacedUnsortedLiterals",
                     " {\t\"z\" : \"日本\",\r\n \"a\":1 , \"m\":null,\"t\":true,\"f\":false} "},
        StraightCase{"keyTwice", R"({"a":1,"a":2})"},
        StraightCase{"fractionsAndExponents", R"({"f":1.50,"e":1E+2,"n":-1e-1,"z":-0.0,"i":-0})"},
        StraightCase{"longIntegers", R"({"big":123456789012345678,"bigger":12345678901234567890})"},
        StraightCase{"numbersOutOfRange", R"({"huge":-99999999999999999999,"tiny":1e-400})"},
        StraightCase{"numberBeyondDouble", R"({"over":1e999})"},
        StraightCase{"leadingZero", R"({"lead":01})"}, StraightCase{"bareDot", R"({"dot":1.})"},
        StraightCase{"bareExponent", R"({"exp":1e})"}, StraightCase{"escape", R"({"q":"a\"b"})"},
        StraightCase{"unicodeEscape", R"({"u":"\u00e9"})"},
        StraightCase{"nested", R"({"d":{"a":[1]}})"},
        StraightCase{"controlCharacter", "{\"c\":\"a\x01\"}"},
        StraightCase{"invalidUtf8", "{\"k\":\"v\xff\"}"},
        StraightCase{"byteOrderMark", "\xef\xbb\xbf{}"}, StraightCase{"textAfter", R"({} x)"},
        StraightCase{"trailingComma", R"({"a":1,})"}, StraightCase{"noColon", R"({"a" 1})"},
        StraightCase{"literalRunsOn", R"({"a":truex})"},
        StraightCase{"overTheDataLimit", R"({"s":")" + std::string(20000, 'x') + "\"}"},
        StraightCase{"manyMembers",
                     R"({"a":1,"b":2,"c":3,"d":4,"e":5,"f":6,"g":7,"h":8,"i":9,"j":10,"k":11,)"
                     R"("l":12,"m":13,"n":14,"o":15,"p":16,"q":17})"}),
    [](const auto& info) { return info.param.label; });

// A host thread may have a small stack: data nested as deep as its length allows is refused
// without anything recursing over its levels.
TEST(BreadcrumbData, DeepTextIsRefusedOnASmallStack) {
  constexpr std::size_t kSmallStack = 256 * 1024;
  std::string text = nested(base::kMaxBreadcrumbTextBytes / 2 - 8);
  struct Run {
    const std::string* text;
    Verdict verdict = Verdict::kept;
  } run{&text};
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kSmallStack);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attributes,
                [](void* argument) -> void* {
                  auto* run = static_cast<Run*>(argument);
                  run->verdict = parseBreadcrumbData(*run->text).verdict;
                  return nullptr;
                },
                &run),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(run.verdict, Verdict::overLimit);
}

}  // namespace
}  // namespace quillstone::report
