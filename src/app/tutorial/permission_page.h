#pragma once

#include "app/tutorial/tutorial_page.h"

namespace app {

// The screen-recording permission: a button that asks for it, and Continue, which is enabled
// while the permission is granted (asked again each time the page is refreshed).
class PermissionPage : public TutorialPage {
 public:
  PermissionPage(TutorialScreen& tutorial, QWidget* parent = nullptr);
  CapsuleButton* permissionButton() const { return permissionButton_; }

  // The button's action.
  void requestPermission();

 private:
  CapsuleButton* permissionButton_ = nullptr;
};

}  // namespace app
