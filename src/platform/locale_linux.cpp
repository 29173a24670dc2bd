#include <cstdlib>

#include "platform/locale.hpp"

namespace quillstone::platform {
namespace {

constexpr const char* kPosixLocale = "en_US_POSIX";

// "de_DE.UTF-8@euro" → "de_DE"
std::string withoutCodesetAndModifier(std::string_view name) {
  return std::string(name.substr(0, name.find_first_of(".@")));
}

// POSIX names separate language and region with "_", BCP 47 tags with "-".
std::string languageTag(std::string name) {
  for (char& c : name) {
    if (c == '_') c = '-';
  }
  return name;
}

class EnvironmentLocale final : public LocaleSettings {
 public:
  std::string identifier() const override {
    std::string locale = current();
    return locale.empty() ? kPosixLocale : locale;
  }

  std::vector<std::string> preferredLanguages() const override {
    return preferredLanguagesFrom(std::getenv("LANGUAGE"), current());
  }

 private:
  static std::string current() {
    return localeFromVariables(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"),
                               std::getenv("LANG"));
  }
};

}  // namespace

std::string localeFromVariables(const char* lcAll, const char* lcMessages, const char* lang) {
  for (const char* value : {lcAll, lcMessages, lang}) {
    if (value == nullptr || *value == '\0') continue;
    std::string locale = withoutCodesetAndModifier(value);
    if (locale == "C" || locale == "POSIX") return {};
    return locale;
  }
  return {};
}

std::vector<std::string> preferredLanguagesFrom(const char* language, const std::string& locale) {
  std::vector<std::string> languages;
  if (language != nullptr) {
    std::string_view list = language;
    while (!list.empty()) {
      const auto colon = list.find(':');
      const std::string_view entry = list.substr(0, colon);
      if (!entry.empty()) languages.push_back(languageTag(withoutCodesetAndModifier(entry)));
      if (colon == std::string_view::npos) break;
      list.remove_prefix(colon + 1);
    }
  }
  if (languages.empty() && !locale.empty()) languages.push_back(languageTag(locale));
  return languages;
}

LocaleSettings& systemLocale() noexcept {
  static auto* locale = new EnvironmentLocale();
  return *locale;
}

}  // namespace quillstone::platform
