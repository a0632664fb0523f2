#include "app/alert/alert_creator.h"

#include <QCloseEvent>
#include <QPushButton>
#include <QTimer>
#include <variant>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "app/style/view_helpers.h"

namespace app {
namespace {

struct PlainContent {};
struct ContentWithAlert {
  UpdateAlertContent alert;
};

}  // namespace

AlertCreator::AlertCreator(QWidget* content, VersioningBinding versioning,
                           std::function<void()> onOkButtonPressed,
                           std::function<void()> onCancelButtonPressed)
    : QObject(content),
      content_(content),
      versioning_(std::move(versioning)),
      onOkButtonPressed_(std::move(onOkButtonPressed)),
      onCancelButtonPressed_(std::move(onCancelButtonPressed)) {}

AlertCreator::~AlertCreator() {
  dismiss();
}

void AlertCreator::refresh() {
  const VersioningPtr bound = versioning_.get();
  auto body = applyIf(PlainContent{}, bound != nullptr,
                      [&](PlainContent) { return ContentWithAlert{updateAlertContent(*bound)}; });
  if (std::holds_alternative<PlainContent>(body)) {
    dismiss();
    return;
  }
  // A new description replaces an alert shown for an earlier one.
  if (alert_ && shownFor_ == bound) return;
  dismiss();
  shownFor_ = bound;
  show(std::get<ContentWithAlert>(body).alert);
}

void AlertCreator::show(const UpdateAlertContent& content) {
  auto* box = new QMessageBox(content_ ? content_->window() : nullptr);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setObjectName(QStringLiteral("updateAlert"));
  box->setIcon(QMessageBox::Information);
  box->setWindowTitle(QString::fromStdString(content.title));
  box->setText(QString::fromStdString(content.title));
  box->setInformativeText(QString::fromStdString(content.message));
  QPushButton* cancel = nullptr;
  for (const auto& key : content.buttonKeys) {
    const bool ok = key == "OK";
    QPushButton* button = box->addButton(QString::fromStdString(uiText(key)),
                                         ok ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
    button->setObjectName(QString::fromStdString(key));
    if (!ok) cancel = button;
    QObject::connect(button, &QPushButton::clicked, this, [this, ok] {
      shownFor_ = nullptr;
      pressUpdateAlertButton(versioning_, ok ? onOkButtonPressed_ : onCancelButtonPressed_);
    });
  }
  // Escape answers "Cancel" where there is one; a mandatory alert has only its "OK".
  if (cancel) box->setEscapeButton(cancel);
  box->setWindowModality(Qt::WindowModal);
  styleAlert(box);
  // The message box would close itself on a close request without telling its buttons, and
  // leave the splash waiting for an answer that never comes.
  box->installEventFilter(this);
  shownMandatory_ = cancel == nullptr;
  alert_ = box;
  box->open();
}

bool AlertCreator::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::Close || !alert_ || watched != alert_.data()) {
    return QObject::eventFilter(watched, event);
  }
  event->ignore();
  if (!shownMandatory_) {
    // Answered after the close request is over, so dismissing the box does not close it again
    // from inside its own close handling.
    QTimer::singleShot(0, this, [this, box = alert_] {
      if (!box || alert_ != box) return;
      shownFor_ = nullptr;
      pressUpdateAlertButton(versioning_, onCancelButtonPressed_);
    });
  }
  return true;
}

void AlertCreator::dismiss() {
  if (alert_) {
    QMessageBox* box = alert_.data();
    alert_.clear();
    box->removeEventFilter(this);
    box->disconnect(this);
    for (auto* button : box->buttons())
      button->disconnect(this);
    box->close();
  }
  shownFor_ = nullptr;
}

}  // namespace app
