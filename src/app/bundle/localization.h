#pragma once

#include <optional>
#include <string>

#include "app/bundle/bundle.h"
#include "app/bundle/locale.h"

namespace app {

// The interface text of `key` from the language folder of `locale`'s language in the main
// bundle. A language the bundle has no folder for falls back to "en"; a key the chosen table
// lacks (or no table at all) yields the key itself.
std::string localizedString(const std::string& key, const Locale& locale = Locale::current());

// The text of a key as the screens show it: the main bundle's table for the current language,
// else the "en" table, else the key.
std::string uiText(const std::string& key);

// Values of the running application's information dictionary; nothing when missing or not text.
std::optional<std::string> releaseVersionNumber(const Bundle& bundle = *Bundle::main());
std::optional<std::string> buildVersionNumber(const Bundle& bundle = *Bundle::main());
std::optional<std::string> displayName(const Bundle& bundle = *Bundle::main());

}  // namespace app
