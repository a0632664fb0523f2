#include "app/bundle/locale.h"

#include <cstdlib>
#include <mutex>

namespace app {
namespace {

std::mutex overrideMutex;
std::optional<Locale> overrideLocale;

bool isLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

}  // namespace

std::optional<std::string> Locale::languageCode() const {
  std::string_view id = identifier;
  const auto end = id.find_first_of("_-.@");
  std::string_view language = id.substr(0, end);
  if (language.empty()) return std::nullopt;
  if (language == "C" || language == "POSIX") return "en";
  std::string code;
  for (char c : language) {
    if (!isLetter(c)) return std::nullopt;
    code += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  }
  return code;
}

Locale Locale::current() {
  {
    std::lock_guard lock(overrideMutex);
    if (overrideLocale) return *overrideLocale;
  }
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return Locale{value};
  }
  return Locale{};
}

void Locale::setCurrent(std::optional<Locale> locale) {
  std::lock_guard lock(overrideMutex);
  overrideLocale = std::move(locale);
}

}  // namespace app
