#pragma once

#include "app/tutorial/tutorial_page.h"

namespace app {

// The first page of the tour: the welcome title and description over the full backdrop, and
// Continue.
class WelcomePage : public TutorialPage {
 public:
  WelcomePage(TutorialScreen& tutorial, QWidget* parent = nullptr);
};

}  // namespace app
