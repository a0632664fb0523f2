#include "app/tutorial/welcome_page.h"

#include <QLabel>
#include <QVBoxLayout>

namespace app {

WelcomePage::WelcomePage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::Introduction, "background", parent) {
  QVBoxLayout* column = beginContentColumn(40, false);
  column->addWidget(
      makeKeyText("WELCOME_TUTORIAL_TITLE", "Quicksand-Bold", 50, Qt::white, false, this), 0,
      Qt::AlignHCenter);
  column->addWidget(
      makeKeyText("WELCOME_TUTORIAL_DESCRIPTION", "Quicksand-Medium", 40, Qt::white, true, this));
  finishPage();
}

}  // namespace app
