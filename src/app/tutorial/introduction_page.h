#pragma once

#include "app/tutorial/tutorial_page.h"

namespace app {

// How the application works: the logo, a title and a description, with Back and Continue.
class IntroductionPage : public TutorialPage {
 public:
  IntroductionPage(TutorialScreen& tutorial, QWidget* parent = nullptr);
};

}  // namespace app
