#include "app/tutorial/check_box.h"

#include <algorithm>
#include <cctype>

namespace app {

Color systemGray() {
  return Color{142 / 255.0, 142 / 255.0, 147 / 255.0, 1};
}

Color systemBlue() {
  return Color{10 / 255.0, 132 / 255.0, 1, 1};
}

const std::string& CheckBox::symbolName() const {
  return isChecked.get() ? checkedSymbolName : uncheckedSymbolName;
}

Color CheckBox::boxColor() const {
  return checkBoxColor.value_or(systemGray());
}

Color CheckBox::shownTitleColor() const {
  return isLink() ? systemBlue() : Color{1, 1, 1, 1};
}

void CheckBox::toggle() const {
  isChecked.set(!isChecked.get());
}

std::optional<platform::URL> CheckBox::linkAddress() const {
  if (!isClickable) return std::nullopt;
  auto url = platform::URL::fromString(*isClickable);
  if (!url || !url->isAbsolute()) return std::nullopt;
  std::string scheme = url->scheme().value_or("");
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "http" && scheme != "https") return std::nullopt;
  if (url->host().value_or("").empty()) return std::nullopt;
  return url;
}

bool CheckBox::openLink(Workspace& workspace) const {
  const auto url = linkAddress();
  if (!url) return false;
  workspace.openURL(url->absoluteString());
  return true;
}

}  // namespace app
