#include <gtest/gtest.h>

#include "quillstone/url.hpp"

namespace quillstone {
namespace {

TEST(Url, ParsesReferencesAndRejectsText) {
  EXPECT_TRUE(Url::parse("https://h.example:8443/a/b?q=1#f"));
  EXPECT_TRUE(Url::parse("relative/path"));
  EXPECT_TRUE(Url::parse("myapp://a/XYZ"));
  EXPECT_FALSE(Url::parse("http://exa mple/"));
  EXPECT_FALSE(Url::parse("http://h/\n"));
  EXPECT_FALSE(Url::parse(std::string_view("http://h/\0x", 10)));
  EXPECT_FALSE(Url::parse("http://[::1/"));
}

TEST(Url, ExposesItsParts) {
  const auto url = *Url::parse("https://user@h.example:8443/a/%41b?q=1#f");
  EXPECT_EQ(url.scheme(), "https");
  EXPECT_EQ(url.host(), "h.example");
  EXPECT_EQ(url.path(), "/a/%41b");
  EXPECT_EQ(Url::parse("a/b")->scheme(), "");
  EXPECT_EQ(Url::parse("a/b")->path(), "a/b");
  EXPECT_EQ(Url::parse("http://h")->path(), "");
  EXPECT_EQ(Url::parse("http://[::1]:80/x")->host(), "::1");
}

struct AppendCase {
  const char* base;
  const char* expected;
  friend void PrintTo(const AppendCase& c, std::ostream* os) { *os << c.base; }
};

class AppendPathComponent : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendPathComponent, PutsExactlyOneSlashBeforeTheComponent) {
  EXPECT_EQ(Url::parse(GetParam().base)->appendingPathComponent("rum").string(),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Bases, AppendPathComponent,
    ::testing::Values(AppendCase{"http://h", "http://h/rum"},
                      AppendCase{"http://h/", "http://h/rum"},
                      AppendCase{"http://h:81/api", "http://h:81/api/rum"},
                      AppendCase{"http://h/api/", "http://h/api/rum"},
                      AppendCase{"http://h/api?key=1", "http://h/api/rum?key=1"},
                      AppendCase{"http://h?key=1#top", "http://h/rum?key=1#top"},
                      AppendCase{"http://h/a//", "http://h/a//rum"}));

}  // namespace
}  // namespace quillstone
