#pragma once

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>

#include "app/alert/update_alert.h"

namespace app {

// Shows the update alert over `content`'s window for as long as a description is bound, with
// "OK" and, for an optional update, "Cancel". Each button clears the binding, then runs its
// action. The owner calls `refresh` whenever the bound description may have changed.
class AlertCreator : public QObject {
 public:
  AlertCreator(QWidget* content, VersioningBinding versioning,
               std::function<void()> onOkButtonPressed,
               std::function<void()> onCancelButtonPressed);
  ~AlertCreator() override;

  void refresh();
  // The alert on screen, if any.
  QMessageBox* currentAlert() const { return alert_.data(); }

 protected:
  // Closing the alert's window (its close button, Alt+F4) answers it like its buttons do: an
  // optional alert counts it as "Cancel", a mandatory one stays until its "OK" is pressed.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void show(const UpdateAlertContent& content);
  void dismiss();

  QPointer<QWidget> content_;
  VersioningBinding versioning_;
  std::function<void()> onOkButtonPressed_;
  std::function<void()> onCancelButtonPressed_;
  QPointer<QMessageBox> alert_;
  VersioningPtr shownFor_;
  bool shownMandatory_ = false;
};

}  // namespace app
