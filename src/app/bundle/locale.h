#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace app {

// The user's language as the environment states it, reduced to what the interface texts need.
struct Locale {
  std::string identifier;  // "it_IT", "en", or "" when nothing is known

  // "it_IT.UTF-8@euro" → "it"; absent for an empty identifier. "C" and "POSIX" (no language
  // chosen) read as "en", the language every build carries.
  std::optional<std::string> languageCode() const;

  // From LC_ALL, then LC_MESSAGES, then LANG (the first one set and not empty); tests replace
  // it with `setCurrent`.
  static Locale current();
  static void setCurrent(std::optional<Locale> locale);  // nothing restores the environment
};

}  // namespace app
