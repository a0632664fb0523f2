#include "app/tutorial/check_box.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "app/bundle/bundle.h"

namespace app {
namespace {

// A local page is opened only when it is one of the pages shipped in the resources, never any
// file an address may name.
bool isShippedPage(const std::string& path) {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path page = fs::canonical(path, ec);
  if (ec || page.extension() != ".html" || !fs::is_regular_file(page, ec)) return false;
  const fs::path resources = fs::canonical(Bundle::main()->bundlePath(), ec);
  if (ec || resources.empty()) return false;
  const auto relative = page.lexically_relative(resources);
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

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
  if (scheme == "file") {
    if (!isShippedPage(url->path())) return std::nullopt;
    return url;
  }
  if (scheme != "http" && scheme != "https") return std::nullopt;
  if (url->host().value_or("").empty()) return std::nullopt;
  return url;
}

bool CheckBox::openLink(Workspace& workspace, std::function<void()> notOpened) const {
  const auto url = linkAddress();
  if (!url) return false;
  workspace.openURL(url->absoluteString(), [notOpened = std::move(notOpened)](bool opened) {
    if (!opened && notOpened) notOpened();
  });
  return true;
}

}  // namespace app
