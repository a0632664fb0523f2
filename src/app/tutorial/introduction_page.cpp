#include "app/tutorial/introduction_page.h"

#include <QLabel>

#include "app/style/qt_style.h"

namespace app {

IntroductionPage::IntroductionPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::Starting, "backgroudnologo", parent) {
  beginContentColumn(60, true);
  addImage("Logo", QSize(100, 100));
  addKeyText("STARTING_TITLE", "Quicksand-Bold", 50, Qt::white, true);
  addKeyText("STARTING_DESCRIPTION", "Quicksand-Medium", 25, toQColor(secondaryTextColor()), true);
  finishPage();
}

}  // namespace app
