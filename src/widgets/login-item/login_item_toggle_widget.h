#pragma once

#include <QString>
#include <QWidget>

#include <functional>

#include "platform/foundation/observable.h"
#include "widgets/localized_string_key.h"

class QCheckBox;

namespace widgets {

// A switch bound to starting the application at login. It shows what the login-item service
// holds, read again whenever the setting is about to change, so a failed registration shows
// as off.
class LoginItemToggle : public QWidget {
 public:
  // The label is the widget `makeLabel` returns (called once, here).
  explicit LoginItemToggle(const std::function<QWidget*()>& makeLabel, QWidget* parent = nullptr);
  // The text the application's string table holds for `key`.
  explicit LoginItemToggle(const LocalizedStringKey& key, QWidget* parent = nullptr);
  // `text` shown as it stands.
  explicit LoginItemToggle(const QString& text, QWidget* parent = nullptr);
  // "Launch at login".
  explicit LoginItemToggle(QWidget* parent = nullptr);

  bool isOn() const;
  QCheckBox* toggle() const { return toggle_; }
  QWidget* label() const { return label_; }

  // Reads the service's status again.
  void refresh();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  LoginItemToggle(QWidget* label, QWidget* parent);

  QCheckBox* toggle_;
  QWidget* label_;
  platform::Cancellable willChange_;
};

}  // namespace widgets
