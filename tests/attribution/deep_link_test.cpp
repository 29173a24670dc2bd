#include "attribution/deep_link.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace quillstone::attribution {
namespace {

struct LinkCase {
  const char* name;
  std::string url;
  std::optional<std::string> code;
};

void PrintTo(const LinkCase& c, std::ostream* out) { *out << c.name << ": " << c.url; }

class ReferralCode : public ::testing::TestWithParam<LinkCase> {};

TEST_P(ReferralCode, IsFoundWhereTheLinkCarriesIt) {
  EXPECT_EQ(referralCode(GetParam().url), GetParam().code);
}

const LinkCase kCases[] = {
    {"PathA", "https://go.example.com/a/XYZ", "XYZ"},
    {"PathAlWithMore", "https://go.example.com/al/XYZ/more", "XYZ"},
    {"PathUpperCaseMarker", "https://go.example.com/A/XYZ", std::nullopt},
    {"EmptySegmentsDropped", "https://go.example.com//a//XYZ/", "XYZ"},
    {"HostIsNotASegment", "myapp://a/XYZ", std::nullopt},
    {"CustomSchemePath", "myapp://open/a/XYZ", "XYZ"},
    {"MarkerWithoutCode", "https://go.example.com/a", std::nullopt},
    {"MarkerWithTrailingSlash", "https://go.example.com/a/", std::nullopt},
    {"MarkerNotFirst", "https://go.example.com/x/a/XYZ", std::nullopt},
    {"QueryOverPath", "https://go.example.com/a/P?la_code=Q", "Q"},
    {"EmptyQueryValueWinsAndGivesNone", "https://go.example.com/a/P?la_code=", std::nullopt},
    {"QueryItemWithoutValueLeavesPath", "https://go.example.com/a/P?la_code", "P"},
    {"FirstMatchingItemOnly", "https://go.example.com/?_la=Q&la_code=R", "Q"},
    {"FirstMatchingItemEmptyHidesLater", "https://go.example.com/?la_code=&_la=R", std::nullopt},
    {"OtherItemsSkipped", "https://go.example.com/?utm=x&la_code=Q", "Q"},
    {"NameMatchedExactly", "https://go.example.com/?LA_CODE=Q&xla_code=R", std::nullopt},
    {"QueryPercentDecoded", "myapp://x?la_code=A%26B%20C", "A&B C"},
    {"PlusStaysPlus", "myapp://x?la_code=A+B", "A+B"},
    {"PathPercentDecoded", "https://go.example.com/a/caf%C3%A9", "caf\xC3\xA9"},
    {"EscapedSlashSplitsThePath", "https://go.example.com/a%2FXYZ", "XYZ"},
    {"FragmentIsNotQuery", "https://go.example.com/#la_code=Q", std::nullopt},
    {"QueryBeforeFragment", "https://go.example.com/?la_code=Q#frag", "Q"},
    {"RootlessPath", "myapp:a/XYZ", "XYZ"},
    {"NoPathNoQuery", "https://go.example.com", std::nullopt},
    {"NotAUrl", "https://exa mple.com/a/X", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Table, ReferralCode, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ReferralCodeLimits, HugeLinksAreHandled) {
  const std::string code(1 << 20, 'C');
  EXPECT_EQ(referralCode("https://h/a/" + code), code);
  std::string manyItems = "https://h/?";
  for (int i = 0; i < 100000; ++i) manyItems += "x=1&";
  EXPECT_EQ(referralCode(manyItems + "la_code=Q"), "Q");
  EXPECT_EQ(referralCode("https://h/" + std::string(1 << 20, '/') + "a/B"), "B");
}

}  // namespace
}  // namespace quillstone::attribution
