#pragma once

#include "app/tutorial/tutorial_page.h"

namespace app {

// The offer to start the application at login. The button registers the login item each time
// it is pressed and then shows what the desktop's login items say; Continue does not depend on
// it.
class LoginPage : public TutorialPage {
 public:
  LoginPage(TutorialScreen& tutorial, QWidget* parent = nullptr);
  CapsuleButton* loginButton() const { return loginButton_; }

 private:
  void showLoginItemState();

  CapsuleButton* loginButton_ = nullptr;
};

}  // namespace app
