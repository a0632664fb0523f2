#include "app/alert/alert_creator.h"

#include <QPushButton>
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
  alert_ = box;
  box->open();
}

void AlertCreator::dismiss() {
  if (alert_) {
    QMessageBox* box = alert_.data();
    alert_.clear();
    box->disconnect(this);
    for (auto* button : box->buttons())
      button->disconnect(this);
    box->close();
  }
  shownFor_ = nullptr;
}

}  // namespace app
