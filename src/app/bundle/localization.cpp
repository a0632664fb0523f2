#include "app/bundle/localization.h"

namespace app {
namespace {

constexpr const char* kFallbackLanguage = "en";

}  // namespace

std::string localizedString(const std::string& key, const Locale& locale) {
  const auto main = Bundle::main();
  const auto language = locale.languageCode();
  // Without a language the platform picks the bundle's first language folder.
  auto folder = main->pathForResource(language.value_or(""), "lproj");
  if (!folder && language) folder = main->pathForResource(kFallbackLanguage, "lproj");
  if (!folder) return key;
  const auto languageBundle = Bundle::atPath(*folder);
  if (!languageBundle) return key;
  return languageBundle->localizedString(key);
}

std::string uiText(const std::string& key) {
  std::vector<std::string> languages;
  if (auto language = Locale::current().languageCode()) languages.push_back(*language);
  languages.emplace_back(kFallbackLanguage);
  return Bundle::main()->localizedString(key, {}, {}, languages);
}

std::optional<std::string> releaseVersionNumber(const Bundle& bundle) {
  return bundle.infoText("CFBundleShortVersionString");
}

std::optional<std::string> buildVersionNumber(const Bundle& bundle) {
  return bundle.infoText("CFBundleVersion");
}

std::optional<std::string> displayName(const Bundle& bundle) {
  return bundle.infoText("CFBundleDisplayName");
}

}  // namespace app
