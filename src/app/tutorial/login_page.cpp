#include "app/tutorial/login_page.h"

#include <QLabel>
#include <QLayout>

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
  connect(loginButton_, &QAbstractButton::clicked, this, [this] {
    widgets::LoginItem::setEnabled(true);
    showLoginItemState();
  });
  finishPage();
}

void LoginPage::showLoginItemState() {
  // A press that changed nothing on screen looks like one that did nothing: the button says
  // what the login items hold now (pressing it again registers again).
  const bool on = widgets::LoginItem::isEnabled();
  loginButton_->setText(QString::fromStdString(
      uiText(on ? "DOWNLOAD_MAC_APP_FIRST_START_DONE" : "DOWNLOAD_MAC_APP_FIRST_START_FAILED")));
  loginButton_->setLook(on ? CapsuleLook::secondary : CapsuleLook::primary);
  loginButton_->setCheckable(true);
  loginButton_->setChecked(on);
  loginButton_->updateGeometry();
  if (layout()) layout()->invalidate();
}

}  // namespace app
