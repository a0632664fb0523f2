#include "app/tutorial/permission_page.h"

#include <QLabel>
#include <QLayout>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "app/tutorial/tutorial_navigation.h"
#include "app/tutorial/tutorial_screen.h"

namespace app {

PermissionPage::PermissionPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::RecordPermission, "backgroudnologo", parent) {
  beginContentColumn(40, true);
  addImage("computer");
  addKeyText("PERMISSION_MAC_TITLE", "Quicksand-Bold", 50, Qt::white, true);
  addKeyText("PERMISSION_MAC_DESCRIPTION", "Quicksand-Medium", 25, toQColor(secondaryTextColor()),
             true);
  permissionButton_ = addCapsule("PERMISSION_MAC_BUTTON");
  connect(permissionButton_, &QAbstractButton::clicked, this, [this] { requestPermission(); });
  finishPage();
}

void PermissionPage::requestPermission() {
  if (const auto& permission = tutorial().permission()) {
    requestScreenCapturePermission(*permission);
  }
  // Whatever the desktop answered, Continue shows what holds now.
  refresh();
  // Where there is nothing to ask (or it was granted), the press is visibly done; otherwise the
  // desktop shows its own question and the button stays for another try.
  const auto& permission = tutorial().permission();
  if (permission && permission->preflight()) {
    permissionButton_->setText(QString::fromStdString(uiText("PERMISSION_MAC_BUTTON_DONE")));
    permissionButton_->setLook(CapsuleLook::secondary);
    permissionButton_->setCheckable(true);
    permissionButton_->setChecked(true);
    permissionButton_->updateGeometry();
    if (layout()) layout()->invalidate();
  }
}

}  // namespace app
