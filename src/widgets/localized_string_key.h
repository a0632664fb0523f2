#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace widgets {

// A text to be looked up in the application's string table before it is shown, as opposed
// to a plain string shown verbatim.
struct LocalizedStringKey {
  std::string key;
};

// The widgets do not know where the application keeps its texts; the application installs
// its lookup here. Without one, a key reads as itself.
using LocalizedStringLookup = std::function<std::string(std::string_view key)>;
void setLocalizedStringLookup(LocalizedStringLookup lookup);
std::string localizedString(const LocalizedStringKey& key);

}  // namespace widgets
