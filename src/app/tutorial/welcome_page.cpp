#include "app/tutorial/welcome_page.h"

#include <QLabel>

namespace app {

WelcomePage::WelcomePage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::Introduction, "background", parent) {
  beginContentColumn(40, false);
  addKeyText("WELCOME_TUTORIAL_TITLE", "Quicksand-Bold", 50, Qt::white, false);
  addKeyText("WELCOME_TUTORIAL_DESCRIPTION", "Quicksand-Medium", 40, Qt::white, true);
  finishPage();
}

}  // namespace app
