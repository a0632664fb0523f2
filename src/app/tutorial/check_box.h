#pragma once

#include <functional>
#include <optional>
#include <string>

#include "app/splash/splash_services.h"
#include "app/style/color.h"
#include "platform/net/url.h"
#include "widgets/binding.h"

namespace app {

// A tickable box followed by a title that is plain text or a link. The ticked state belongs to
// the caller and is reached through the binding; the title is shown as given.
struct CheckBox {
  static constexpr const char* kUncheckedSymbol = "square";
  static constexpr const char* kCheckedSymbol = "checkmark.square.fill";

  CheckBox(widgets::Binding<bool> isChecked, std::optional<std::string> title = std::nullopt,
           std::optional<Color> checkBoxColor = std::nullopt,
           std::optional<Color> titleColor = std::nullopt,
           std::optional<std::string> isClickable = std::nullopt)
      : isChecked(std::move(isChecked)),
        title(std::move(title)),
        checkBoxColor(checkBoxColor),
        titleColor(titleColor),
        isClickable(std::move(isClickable)) {}

  widgets::Binding<bool> isChecked;
  std::optional<std::string> title;
  std::optional<Color> checkBoxColor;  // none: the desktop's grey
  // Kept with the box, but the plain title is always white and the link always blue.
  std::optional<Color> titleColor;
  std::optional<std::string> isClickable;  // a web address: the title opens it
  std::string uncheckedSymbolName = kUncheckedSymbol;
  std::string checkedSymbolName = kCheckedSymbol;

  // The symbol for the ticked state as it is now.
  const std::string& symbolName() const;
  Color boxColor() const;
  std::string shownTitle() const { return title.value_or(std::string()); }
  bool isLink() const { return isClickable.has_value(); }
  Color shownTitleColor() const;

  // The box's action: writes the opposite of the current state.
  void toggle() const;

  // The address of the link when it is a web address (http or https with a host): anything
  // else, including a relative reference or a local file, is not handed to the desktop.
  std::optional<platform::URL> linkAddress() const;
  // The link's action: opens the address with the desktop's browser, and runs `notOpened` when
  // nothing on the desktop took it; does nothing (and answers false) without a valid address.
  bool openLink(Workspace& workspace, std::function<void()> notOpened = nullptr) const;
};

// The desktop's grey and blue as the dark look draws them.
Color systemGray();
Color systemBlue();

}  // namespace app
