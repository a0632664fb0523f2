#include "app/tutorial/login_page.h"

#include <QLabel>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "widgets/login-item/login_item.h"

namespace app {

LoginPage::LoginPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::LoginScreen, "backgroudnologo", parent) {
  beginContentColumn(40, true);
  addImage("computer");
  addKeyText("DOWNLOAD_MAC_APP_TITLE", "Quicksand-Bold", 50, Qt::white, true);
  addKeyText("DOWNLOAD_MAC_APP_DESCRIPTION", "Quicksand-Medium", 25, toQColor(secondaryTextColor()),
             true);
  loginButton_ = addCapsule("DOWNLOAD_MAC_APP_FIRST_START");
  // The outcome is not shown: the desktop's autostart settings are where the user sees it.
  connect(loginButton_, &QAbstractButton::clicked, this,
          [] { widgets::LoginItem::setEnabled(true); });
  finishPage();
}

}  // namespace app
