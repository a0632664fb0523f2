#include "app/tutorial/permission_page.h"

#include <QLabel>

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
}

}  // namespace app
