#include "app/tutorial/navigation_row.h"

#include <QHBoxLayout>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"

namespace app {

NavigationRow::NavigationRow(Kind kind, std::optional<widgets::Binding<bool>> enabled,
                             std::function<void()> action, QWidget* parent)
    : QWidget(parent), kind_(kind), enabled_(std::move(enabled)) {
  const bool isBack = kind_ == Kind::back;
  const char* key = isBack ? "BUTTON_BACK" : "BUTTON_CONTINUE";
  setObjectName(isBack ? QStringLiteral("backRow") : QStringLiteral("continueRow"));
  button_ = new CapsuleButton(QString::fromStdString(uiText(key)),
                              isBack ? CapsuleLook::secondary : CapsuleLook::continueButton, this);
  button_->setObjectName(QString::fromLatin1(key));
  connect(button_, &QAbstractButton::clicked, this, [action = std::move(action)] {
    if (action) action();
  });

  // The row is only as large as its button; the page keeps it the edge distance away from
  // the window's edges, so the content beside it stays reachable.
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(button_);
  refresh();
}

void NavigationRow::refresh() {
  const bool enabled = kind_ == Kind::back || !enabled_ || enabled_->get();
  if (button_->isEnabled() != enabled) {
    button_->setEnabled(enabled);
    button_->update();
  }
}

}  // namespace app
