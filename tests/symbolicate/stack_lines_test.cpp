#include "stack_lines.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include "report.hpp"

namespace quillstone::symbolicate {
namespace {

struct GoodLine {
  const char* text;
  std::uint64_t index;
  const char* image;
  std::uint64_t address;
  bool fromCrashHandler;
};

// Names the generated cases after the line rather than its bytes.
void PrintTo(const GoodLine& line, std::ostream* out) { *out << '"' << line.text << '"'; }

class FrameLines : public ::testing::TestWithParam<GoodLine> {};

TEST_P(FrameLines, ParseInEitherShape) {
  const GoodLine& expected = GetParam();
  const auto frame = parseFrameLine(expected.text);
  ASSERT_TRUE(frame.has_value()) << expected.text;
  EXPECT_EQ(frame->index, expected.index);
  EXPECT_EQ(frame->image, expected.image);
  EXPECT_EQ(frame->address, expected.address);
  EXPECT_EQ(frame->fromCrashHandler, expected.fromCrashHandler);
}

INSTANTIATE_TEST_SUITE_P(
    BothShapes, FrameLines,
    ::testing::Values(
        // The crash handler's lines: index, three spaces, name or ???, three spaces, bare hex.
        GoodLine{"0   Demo   0x100003f2c", 0, "Demo", 0x100003f2c, true},
        GoodLine{"12   Demo   0x1a2b", 12, "Demo", 0x1a2b, true},
        GoodLine{"4   ???   0x7ff80001a2b4", 4, "???", 0x7ff80001a2b4, true},
        GoodLine{"0   Demo   0x0", 0, "Demo", 0, true},
        // Formatted stacks: index padded to three and a space, sixteen hex digits.
        GoodLine{"0   Demo   0x0000000100003f2c", 0, "Demo", 0x100003f2c, false},
        GoodLine{"12  Demo   0x00007ff80001a2b4", 12, "Demo", 0x7ff80001a2b4, false},
        GoodLine{"123 Demo   0x0000000100004abc", 123, "Demo", 0x100004abc, false},
        GoodLine{"1000 Demo   0x0000000000000000", 1000, "Demo", 0, false},
        // A name with spaces, and a line as a text editor on another system leaves it.
        GoodLine{"3   My App   0x0000000000001139\r", 3, "My App", 0x1139, false}));

class NotFrameLines : public ::testing::TestWithParam<const char*> {};

TEST_P(NotFrameLines, AreRejected) { EXPECT_FALSE(parseFrameLine(GetParam()).has_value()); }

INSTANTIATE_TEST_SUITE_P(Malformed, NotFrameLines,
                         ::testing::Values("", "   ", "Demo   0x1a2b", "x   Demo   0x1a2b",
                                           "0Demo   0x1a2b", "0   Demo   0x", "0   Demo   0xzz",
                                           "0   Demo   1a2b", "0   Demo 0x1a2b", "0      0x1a2b",
                                           "0   Demo   0x12345678901234567",
                                           "99999999999999999999999   Demo   0x1"));

TEST(StackLines, SplitAlikeWithAndWithoutAFinalLineFeed) {
  using Lines = std::vector<std::string_view>;
  EXPECT_EQ(splitStackLines(""), Lines{});
  EXPECT_EQ(splitStackLines("a\nb\n"), (Lines{"a", "b"}));
  EXPECT_EQ(splitStackLines("a\nb"), (Lines{"a", "b"}));
  EXPECT_EQ(splitStackLines("a\n\nb"), (Lines{"a", "", "b"}));
}

TEST(Reports, AnyOfTheThreeShapesYieldsItsStackAndIdentity) {
  const auto signal = parseReport(
      R"({"imageUUID":"6F3E0000-1111-2222-3333-444455556666","ts":1,"data":{"kind":"crash",)"
      R"("level":"fatal","message":"m","name":"SIGSEGV","stack":"0   Demo   0x1\n"}})");
  ASSERT_TRUE(signal.report.has_value()) << signal.error;
  EXPECT_EQ(signal.report->imageUUID, "6F3E0000-1111-2222-3333-444455556666");
  EXPECT_EQ(signal.report->name, "SIGSEGV");
  EXPECT_EQ(signal.report->stack, "0   Demo   0x1\n");

  // Exception files and handled errors carry more members in "data" and an empty stack is
  // still a stack.
  const auto handled = parseReport(
      R"({"imageUUID":"","data":{"name":"E","message":"m","stack":"","extra":{},"breadcrumbs":[]}})");
  ASSERT_TRUE(handled.report.has_value()) << handled.error;
  EXPECT_EQ(handled.report->imageUUID, "");
  EXPECT_EQ(handled.report->stack, "");
}

TEST(Reports, UnreadableInputIsRefusedWithAReason) {
  const struct {
    const char* text;
    const char* reason;
  } cases[] = {
      {"", "not valid JSON"},
      {"0   Demo   0x1a2b", "not valid JSON"},
      {R"({"data":{"stack":"0   Demo   0x1\n")", "not valid JSON"},  // cut short
      {"[1,2]", "not a JSON object"},
      {R"({"imageUUID":"X"})", "no \"data\" object"},
      {R"({"data":"crash"})", "no \"data\" object"},
      {R"({"data":{"name":"SIGSEGV"}})", "no \"data\".\"stack\""},
      {R"({"data":{"stack":["0   Demo   0x1"]}})", "no \"data\".\"stack\""},
  };
  for (const auto& c : cases) {
    const auto parsed = parseReport(c.text);
    EXPECT_FALSE(parsed.report.has_value()) << c.text;
    EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << c.text << ": " << parsed.error;
  }
}

}  // namespace
}  // namespace quillstone::symbolicate
