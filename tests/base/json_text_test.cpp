#include "base/json_text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "base/text.hpp"

namespace quillstone::base {
namespace {

std::string libraryText(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string written(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

TEST(JsonText, StringsComeOutAsTheJsonLibraryWritesThem) {
  for (int byte = 0; byte < 256; ++byte) {
    const std::string text = std::string("a") + static_cast<char>(byte) + "b";
    EXPECT_EQ(written(text), libraryText(text)) << "byte " << byte;
  }
  const std::string cases[] = {
      "",
      "plain",
      "quote \" backslash \\ slash /",
      "\b\f\n\r\t\x01\x1f\x7f",
      "中文 —— 👍 \u2028",
      "\xf4\x8f\xbf\xbf",  // the last code point
      "\xf4\x90\x80\x80",  // past it
      "\xc0\xaf",          // overlong
      "\xe0\x80\xaf",      // overlong
      "\xed\xa0\x80",      // a surrogate
      "\xe4\xb8",          // cut short
      "ok\xff\xfe then \"more\"",
  };
  for (const auto& text : cases) EXPECT_EQ(written(text), libraryText(text)) << text;
}

TEST(JsonText, RandomBytesComeOutAsTheJsonLibraryWritesThem) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> length(0, 24);
  // Mostly ASCII and pieces of multi-byte sequences, so both valid and broken text come up.
  const unsigned char alphabet[] = {'a',  '"',  '\\', 0x01, 0x7f, 0x80, 0xbf, 0xc2, 0xe0,
                                    0xe4, 0xed, 0xa0, 0xf0, 0xf4, 0x90, 0x9f, 0xff};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (int i = length(random); i > 0; --i) text += static_cast<char>(alphabet[pick(random)]);
    ASSERT_EQ(written(text), libraryText(text)) << "round " << round;
    ASSERT_EQ(isValidUtf8(text), sanitizeUtf8(text) == text);
  }
}

TEST(JsonText, NumbersComeOutAsTheJsonLibraryWritesThem) {
  const double doubles[] = {0.0,
                            -0.0,
                            1.0,
                            19.99,
                            0.1,
                            -123.456,
                            1e20,
                            1e21,
                            1e-7,
                            5e-324,
                            1e300,
                            1234567890123456789.0,
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::min()};
  for (const double value : doubles) {
    std::string out;
    appendJsonNumber(out, value);
    EXPECT_EQ(out, libraryText(value));
  }
  const std::int64_t integers[] = {0, -1, 1700000000123, std::numeric_limits<std::int64_t>::min(),
                                   std::numeric_limits<std::int64_t>::max()};
  for (const std::int64_t value : integers) {
    std::string out;
    appendJsonNumber(out, value);
    EXPECT_EQ(out, libraryText(value));
  }
}

TEST(EscapeJsonText, EscapesWhatJsonRequiresAndReplacesBrokenText) {
  EXPECT_EQ(escapeJsonText("a\"b\\c\n\x01"), "a\\\"b\\\\c\\n\\u0001");
  EXPECT_EQ(escapeJsonText("x\xffy"), "x\xef\xbf\xbdy");
  EXPECT_EQ(escapeJsonText("收到"), "收到");
  // A cut never splits a character or an escape.
  EXPECT_EQ(escapeJsonText("收到", 5), "收");
  EXPECT_EQ(escapeJsonText("a\"", 2), "a");
}

// The crash files' form: the text cleaned byte by byte, then escaped as the library escapes, and
// with a budget cut after the last whole piece that fits, the buffer form writing the same bytes
// and nothing past its room.
TEST(EscapeJsonText, EveryBudgetCutsTheCleanedTextAfterItsLastWholePiece) {
  std::mt19937 random(11);
  std::uniform_int_distribution<int> length(0, 16);
  const unsigned char alphabet[] = {'a',  '"',  '\\', '\n', 0x01, 0x7f, 0x80, 0xbf, 0xc2,
                                    0xe4, 0xb8, 0xad, 0xed, 0xa0, 0xf0, 0x9f, 0x91, 0xff};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 1);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    for (int i = length(random); i > 0; --i) text += static_cast<char>(alphabet[pick(random)]);
    const std::string full = escapeJsonText(text);
    const std::string library = libraryText(sanitizeUtf8(text));
    ASSERT_EQ('"' + full + '"', library) << "round " << round;
    // Where each piece of the escaped text ends: an escape, or one whole character.
    std::vector<std::size_t> ends{0};
    for (std::size_t at = 0; at < full.size();) {
      if (full[at] == '\\') {
        at += full[at + 1] == 'u' ? 6 : 2;
      } else {
        at += utf8SequenceLength(std::string_view(full).substr(at));
      }
      ends.push_back(at);
    }
    for (std::size_t budget = 0; budget <= full.size() + 1; ++budget) {
      const std::size_t cut = *std::prev(std::upper_bound(ends.begin(), ends.end(), budget));
      ASSERT_EQ(escapeJsonText(text, budget), full.substr(0, cut)) << "budget " << budget;
      std::string buffer(budget + 1, '#');
      const EscapedLength done = escapeJsonInto(text, buffer.data(), budget, InvalidUtf8::eachByte);
      ASSERT_EQ(buffer.substr(0, done.written), full.substr(0, cut));
      ASSERT_EQ(buffer[budget], '#');
      ASSERT_EQ(escapeJsonText(text.substr(0, done.consumed)), full.substr(0, cut));
    }
  }
}

}  // namespace
}  // namespace quillstone::base
