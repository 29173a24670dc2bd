#include <gtest/gtest.h>

#include "base/text.hpp"

namespace quillstone::base {
namespace {

TEST(Text, TrimsSpaceSeparatorsAndTabsButNotLineBreaks) {
  EXPECT_EQ(trimSpaceSeparators(" \t\u00a0\u2003a b\u3000 "), "a b");
  EXPECT_EQ(trimSpaceSeparators("\na\n"), "\na\n");
  EXPECT_EQ(trimSpaceSeparators(" \u2028"), "\u2028");
  EXPECT_EQ(trimSpaceSeparators("   "), "");
}

TEST(Text, BlankMeansOnlyWhiteSpaceAndLineBreaks) {
  EXPECT_TRUE(isBlank(""));
  EXPECT_TRUE(isBlank(" \t\r\n\u3000\u2028\u2029\u0085\u00a0"));
  EXPECT_FALSE(isBlank(" a "));
  EXPECT_FALSE(isBlank("\xff"));
}

TEST(Text, ReplacesInvalidUtf8) {
  EXPECT_EQ(sanitizeUtf8("ok \u00e9\U0001F600"), "ok \u00e9\U0001F600");
  EXPECT_EQ(sanitizeUtf8("a\xffz"), "a\uFFFDz");
  EXPECT_EQ(sanitizeUtf8("\xe2\x82"), "\uFFFD\uFFFD");
  EXPECT_EQ(sanitizeUtf8("\xed\xa0\x80"), "\uFFFD\uFFFD\uFFFD");  // a lone surrogate
}

TEST(Text, CutsAtGraphemeClusters) {
  const std::string family = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // one cluster
  const std::string flag = "\U0001F1E8\U0001F1F3";                          // one cluster
  EXPECT_EQ(graphemePrefix(family + flag + "x", 2), family + flag);
  EXPECT_EQ(graphemePrefix("e\u0301e\u0301", 1), "e\u0301");
  EXPECT_EQ(graphemePrefix("abc", 120), "abc");
  EXPECT_EQ(graphemePrefix("abc", 0), "");
}

}  // namespace
}  // namespace quillstone::base
