#pragma once

#include "app/tutorial/tutorial_page.h"

class QAbstractButton;

namespace app {

// The offer to start the application at login. The button registers the login item each time
// it is pressed; Continue does not depend on it.
class LoginPage : public TutorialPage {
 public:
  LoginPage(TutorialScreen& tutorial, QWidget* parent = nullptr);
  QAbstractButton* loginButton() const { return loginButton_; }

 private:
  QAbstractButton* loginButton_ = nullptr;
};

}  // namespace app
