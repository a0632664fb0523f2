#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/update/versioning.h"

namespace app {

// What the update alert says and offers for a description.
struct UpdateAlertContent {
  std::string title;
  std::string message;
  // Keys of the buttons, in order: "OK", then "Cancel" for an optional update only.
  std::vector<std::string> buttonKeys;
};

// Texts looked up for the current language; a description without `isMandatory` (never
// offered) reads as optional.
UpdateAlertContent updateAlertContent(const Versioning& versioning);

// The two-way connection between the alert and whoever owns the description.
struct VersioningBinding {
  std::function<VersioningPtr()> get;
  std::function<void(VersioningPtr)> set;
};

// A button of the alert was pressed: the description is cleared (which takes the alert away),
// then the caller's action runs, when there is one.
void pressUpdateAlertButton(const VersioningBinding& binding, const std::function<void()>& action);

}  // namespace app
