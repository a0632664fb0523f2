#include "app/tutorial/permission_page.h"

#include <QLabel>
#include <QVBoxLayout>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "app/tutorial/tutorial_navigation.h"
#include "app/tutorial/tutorial_screen.h"

namespace app {

PermissionPage::PermissionPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::RecordPermission, "backgroudnologo", parent) {
  QVBoxLayout* column = beginContentColumn(40, true);
  auto* computer = new ImageView("computer", ImageScaling::natural, this);
  computer->setObjectName(QStringLiteral("computer"));
  column->addWidget(computer, 0, Qt::AlignHCenter);
  column->addWidget(
      makeKeyText("PERMISSION_MAC_TITLE", "Quicksand-Bold", 50, Qt::white, true, this));
  column->addWidget(makeKeyText("PERMISSION_MAC_DESCRIPTION", "Quicksand-Medium", 25,
                                toQColor(secondaryTextColor()), true, this));
  auto* button = new CapsuleButton(QString::fromStdString(uiText("PERMISSION_MAC_BUTTON")),
                                   CapsuleLook::primary, this);
  button->setObjectName(QStringLiteral("PERMISSION_MAC_BUTTON"));
  connect(button, &QAbstractButton::clicked, this, [this] { requestPermission(); });
  column->addWidget(button, 0, Qt::AlignHCenter);
  permissionButton_ = button;
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
