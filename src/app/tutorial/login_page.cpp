#include "app/tutorial/login_page.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "widgets/login-item/login_item.h"

namespace app {

LoginPage::LoginPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::LoginScreen, "backgroudnologo", parent) {
  QVBoxLayout* column = beginContentColumn(40, true);
  auto* computer = new ImageView("computer", ImageScaling::natural, this);
  computer->setObjectName(QStringLiteral("computer"));
  column->addWidget(computer, 0, Qt::AlignHCenter);
  column->addWidget(
      makeKeyText("DOWNLOAD_MAC_APP_TITLE", "Quicksand-Bold", 50, Qt::white, true, this));
  column->addWidget(makeKeyText("DOWNLOAD_MAC_APP_DESCRIPTION", "Quicksand-Medium", 25,
                                toQColor(secondaryTextColor()), true, this));
  auto* button = new CapsuleButton(QString::fromStdString(uiText("DOWNLOAD_MAC_APP_FIRST_START")),
                                   CapsuleLook::primary, this);
  button->setObjectName(QStringLiteral("DOWNLOAD_MAC_APP_FIRST_START"));
  // The outcome is not shown: the desktop's autostart settings are where the user sees it.
  connect(button, &QAbstractButton::clicked, this, [] { widgets::LoginItem::setEnabled(true); });
  column->addWidget(button, 0, Qt::AlignHCenter);
  loginButton_ = button;
  finishPage();
}

}  // namespace app
