// The user's locale and preferred languages.
#pragma once

#include <string>
#include <vector>

namespace quillstone::platform {

class LocaleSettings {
 public:
  virtual ~LocaleSettings() = default;
  // The current locale's identifier, such as "en_US"; "en_US_POSIX" when none is set.
  virtual std::string identifier() const = 0;
  // BCP 47 tags, most preferred first ("en-US"); possibly empty.
  virtual std::vector<std::string> preferredLanguages() const = 0;
};

// The locale from the first non-empty of LC_ALL, LC_MESSAGES and LANG, without ".codeset" and
// "@modifier"; "" when none is set or it is "C" or "POSIX".
std::string localeFromVariables(const char* lcAll, const char* lcMessages, const char* lang);

// The non-empty entries of `language` (colon-separated) when there are any, else `locale` when
// it is not empty; each as a BCP 47 tag.
std::vector<std::string> preferredLanguagesFrom(const char* language, const std::string& locale);

// Reads the process environment on every call.
LocaleSettings& systemLocale() noexcept;

}  // namespace quillstone::platform
