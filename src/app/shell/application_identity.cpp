#include "app/shell/application_identity.h"

#include <QGuiApplication>

#include "app/bundle/bundle.h"

namespace app {

QIcon applicationIcon() {
  const QString name = QString::fromLatin1(kDesktopFileName);
  if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
  if (auto logo = Bundle::main()->imagePath("Logo")) {
    return QIcon(QString::fromStdString(logo->string()));
  }
  return {};
}

void applyApplicationIdentity() {
  QGuiApplication::setDesktopFileName(QString::fromLatin1(kDesktopFileName));
  QGuiApplication::setWindowIcon(applicationIcon());
}

}  // namespace app
