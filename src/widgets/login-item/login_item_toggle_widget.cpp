#include "widgets/login-item/login_item_toggle_widget.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPointer>

#include "widgets/login-item/login_item.h"

namespace widgets {

LoginItemToggle::LoginItemToggle(QWidget* label, QWidget* parent)
    : QWidget(parent), toggle_(new QCheckBox(this)), label_(label) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(toggle_);
  if (label_) {
    label_->setParent(this);
    label_->installEventFilter(this);
    layout->addWidget(label_, 1);
  }
  toggle_->setChecked(LoginItem::isEnabled());
  connect(toggle_, &QCheckBox::clicked, this,
          [](bool checked) { LoginItem::sharedObservable()->setIsEnabled(checked); });
  // The notice comes before the change; the status is read once the change is done.
  QPointer<LoginItemToggle> self(this);
  willChange_ = LoginItem::sharedObservable()->objectWillChange().subscribe([self] {
    if (self)
      QMetaObject::invokeMethod(
          self,
          [self] {
            if (self) self->refresh();
          },
          Qt::QueuedConnection);
  });
}

LoginItemToggle::LoginItemToggle(const std::function<QWidget*()>& makeLabel, QWidget* parent)
    : LoginItemToggle(makeLabel ? makeLabel() : nullptr, parent) {}

LoginItemToggle::LoginItemToggle(const LocalizedStringKey& key, QWidget* parent)
    : LoginItemToggle(new QLabel(QString::fromStdString(localizedString(key))), parent) {}

LoginItemToggle::LoginItemToggle(const QString& text, QWidget* parent)
    : LoginItemToggle(new QLabel(text), parent) {}

LoginItemToggle::LoginItemToggle(QWidget* parent)
    : LoginItemToggle(QStringLiteral("Launch at login"), parent) {}

bool LoginItemToggle::isOn() const {
  return toggle_->isChecked();
}

void LoginItemToggle::refresh() {
  toggle_->setChecked(LoginItem::isEnabled());
}

void LoginItemToggle::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh();
}

bool LoginItemToggle::eventFilter(QObject* watched, QEvent* event) {
  // Clicking the label flips the switch, as with any labelled switch.
  if (watched == label_ && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    toggle_->click();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace widgets
