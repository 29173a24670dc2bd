#include "platform/locale.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace quillstone::platform {
namespace {

TEST(LocaleFromVariables, FirstNonEmptyWithoutCodesetOrModifier) {
  EXPECT_EQ(localeFromVariables("de_DE.UTF-8@euro", "fr_FR", "en_GB"), "de_DE");
  EXPECT_EQ(localeFromVariables("", "fr_FR.UTF-8", "en_GB"), "fr_FR");
  EXPECT_EQ(localeFromVariables(nullptr, nullptr, "en_GB"), "en_GB");
  EXPECT_EQ(localeFromVariables("C.UTF-8", "fr_FR", nullptr), "");
  EXPECT_EQ(localeFromVariables(nullptr, nullptr, "POSIX"), "");
  EXPECT_EQ(localeFromVariables(nullptr, nullptr, nullptr), "");
}

TEST(PreferredLanguagesFrom, LanguageListBeforeLocaleAsBcp47Tags) {
  using List = std::vector<std::string>;
  EXPECT_EQ(preferredLanguagesFrom("fr_FR:en::de", "ja_JP"), (List{"fr-FR", "en", "de"}));
  EXPECT_EQ(preferredLanguagesFrom("::", "ja_JP"), List{"ja-JP"});
  EXPECT_EQ(preferredLanguagesFrom(nullptr, "pt_BR"), List{"pt-BR"});
  EXPECT_EQ(preferredLanguagesFrom(nullptr, ""), List{});
}

TEST(SystemLocale, PosixLocaleWhenNoneIsSet) {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG", "LANGUAGE"}) unsetenv(variable);
  EXPECT_EQ(systemLocale().identifier(), "en_US_POSIX");
  EXPECT_TRUE(systemLocale().preferredLanguages().empty());
  setenv("LANG", "sv_SE.UTF-8", 1);
  EXPECT_EQ(systemLocale().identifier(), "sv_SE");
  EXPECT_EQ(systemLocale().preferredLanguages(), std::vector<std::string>{"sv-SE"});
}

}  // namespace
}  // namespace quillstone::platform
