#include "crash/stack_format.hpp"

#include <execinfo.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/json_text.hpp"
#include "platform/bundle.hpp"
#include "platform/loader.hpp"

namespace quillstone::crash {
namespace {

struct StackCase {
  std::string label;
  std::vector<std::uint64_t> addresses;
  std::uint64_t slide;
  std::string expected;
};

void PrintTo(const StackCase& c, std::ostream* os) { *os << c.label; }

class FormatStack : public ::testing::TestWithParam<StackCase> {};

TEST_P(FormatStack, WritesOneAlignedLinePerAddress) {
  const auto& c = GetParam();
  EXPECT_EQ(formatStack(c.addresses, c.slide, "Demo"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FormatStack,
    ::testing::Values(
        StackCase{"Empty", {}, 0, ""},
        StackCase{
            "OneAddressNoTrailingLineFeed", {0x100003f2c}, 0, "0   Demo   0x0000000100003f2c"},
        StackCase{"SlideIsSubtracted",
                  {0x7ff80001a2b4 + 0x1000, 0x100004abc + 0x1000},
                  0x1000,
                  "0   Demo   0x00007ff80001a2b4\n1   Demo   0x0000000100004abc"},
        StackCase{"BelowSlideIsLeftAlone", {0x0fff}, 0x1000, "0   Demo   0x0000000000000fff"},
        StackCase{"EqualToSlideIsZero", {0x1000}, 0x1000, "0   Demo   0x0000000000000000"},
        StackCase{
            "FullWidthLowerCaseHex", {0xFFFFFFFFFFFFFFFFull}, 0, "0   Demo   0xffffffffffffffff"}),
    [](const auto& info) { return info.param.label; });

TEST(FormatStack, IndexFieldWidensInsteadOfCutting) {
  const std::vector<std::uint64_t> addresses(1001, 0x10);
  const std::string text = formatStack(addresses, 0, "Demo");
  EXPECT_NE(text.find("\n9   Demo   0x0000000000000010\n10  Demo   "), std::string::npos);
  EXPECT_NE(text.find("\n99  Demo   0x0000000000000010\n100 Demo   "), std::string::npos);
  EXPECT_TRUE(text.ends_with("\n1000 Demo   0x0000000000000010"));
}

TEST(Normalize, UsesTheMainProgramsSlideAndNameOnEveryLine) {
  const auto image = platform::mainImage();
  const std::vector<std::uint64_t> addresses{image.slide + 0x1234, image.slide + 0x10};
  EXPECT_EQ(normalize(addresses), formatStack(addresses, image.slide, platform::executableName()));
  EXPECT_EQ(normalize(addresses).substr(0, 4 + platform::executableName().size()),
            "0   " + platform::executableName());
}

// A report writes a walked stack as JSON with only the image's name escaped, once: the text must
// be what escaping the whole normalized stack gives, for any stack and whatever the name holds.
TEST(NormalizeAsJson, IsTheNormalizedStackEscapedWhole) {
  const auto escapedWhole = [](const std::string& text) {
    std::string json;
    base::appendJsonString(json, text);
    return json;
  };
  const auto image = platform::mainImage();
  for (const std::vector<std::uint64_t>& addresses :
       {std::vector<std::uint64_t>{}, std::vector<std::uint64_t>{image.slide + 0x10},
        std::vector<std::uint64_t>(120, image.slide - 1)}) {
    EXPECT_EQ(normalizeAsJson(addresses), escapedWhole(normalize(addresses)));
  }
  const std::vector<std::uint64_t> addresses{0x10, 0x20, 0x30};
  for (const std::string name :
       {"quote\" back\\slash", "control\x01\x1f", "cut\xe4\xb8 short", "\xff\xfe", "程序"}) {
    std::string escapedName;
    base::appendJsonEscaped(escapedName, name, base::InvalidUtf8::likeJsonLibrary);
    EXPECT_EQ('"' + formatStack(addresses, 0, escapedName, "\\n") + '"',
              escapedWhole(formatStack(addresses, 0, name)))
        << name;
  }
}

TEST(CurrentReturnAddresses, StartsInsideTheCaller) {
  const auto addresses = currentReturnAddresses();
  ASSERT_FALSE(addresses.empty());
  const auto image = platform::mainImage();
  // The first frame is this test body, which lives in the test program's own text.
  EXPECT_GE(addresses.front(), image.textStart);
  EXPECT_LT(addresses.front(), image.textEnd);
}

// A sanitizer wraps backtrace(), and the wrapper's frame is then the first one it finds.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kWrapperFrames = 1;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr std::size_t kWrapperFrames = 1;
#else
constexpr std::size_t kWrapperFrames = 0;
#endif
#else
constexpr std::size_t kWrapperFrames = 0;
#endif

// Both walks from one function, so that only their first frames (each its own call here) differ.
__attribute__((noinline)) void walkBothWays(std::vector<std::uint64_t>& ours,
                                            std::vector<void*>& theirs) {
  const auto walked = currentReturnAddresses();
  ours.assign(walked.begin(), walked.end());
  theirs.resize(256);
  theirs.resize(static_cast<std::size_t>(backtrace(theirs.data(), 256)));
}

TEST(CurrentReturnAddresses, FindsTheFramesBacktraceFinds) {
  std::vector<std::uint64_t> ours;
  std::vector<void*> theirs;
  walkBothWays(ours, theirs);
  ASSERT_EQ(ours.size() + kWrapperFrames, theirs.size());
  ASSERT_GT(ours.size(), 2u);
  for (std::size_t i = 1; i < ours.size(); ++i) {
    EXPECT_EQ(ours[i], reinterpret_cast<std::uintptr_t>(theirs[i + kWrapperFrames]))
        << "frame " << i;
  }
}

}  // namespace
}  // namespace quillstone::crash
