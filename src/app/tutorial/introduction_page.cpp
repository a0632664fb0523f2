#include "app/tutorial/introduction_page.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/style/qt_style.h"

namespace app {

IntroductionPage::IntroductionPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::Starting, "backgroudnologo", parent) {
  QVBoxLayout* column = beginContentColumn(60, true);
  auto* logo = new ImageView("Logo", ImageScaling::stretch, this);
  logo->setObjectName(QStringLiteral("Logo"));
  logo->setFixedSize(100, 100);
  column->addWidget(logo, 0, Qt::AlignHCenter);
  column->addWidget(makeKeyText("STARTING_TITLE", "Quicksand-Bold", 50, Qt::white, true, this));
  column->addWidget(makeKeyText("STARTING_DESCRIPTION", "Quicksand-Medium", 25,
                                toQColor(secondaryTextColor()), true, this));
  finishPage();
}

}  // namespace app
