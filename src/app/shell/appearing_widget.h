#pragma once

#include <QWidget>
#include <functional>

namespace app {

// A plain container that runs an action each time it appears on screen.
class AppearingWidget : public QWidget {
 public:
  explicit AppearingWidget(std::function<void()> onAppear, QWidget* parent = nullptr)
      : QWidget(parent), onAppear_(std::move(onAppear)) {}

 protected:
  void showEvent(QShowEvent* event) override {
    QWidget::showEvent(event);
    if (onAppear_) onAppear_();
  }

 private:
  std::function<void()> onAppear_;
};

}  // namespace app
