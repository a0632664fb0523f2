#pragma once

#include <QPointer>
#include <QWidget>
#include <string>
#include <vector>

#include "app/splash/splash_services.h"

namespace app {

// The save panel: a non-native file dialog in its own window, shown without blocking.
class QtSavePanel final : public SavePanel {
 public:
  explicit QtSavePanel(QWidget* window) : window_(window) {}
  void begin(const Options& options, Completion completion) override;

 private:
  QPointer<QWidget> window_;
};

// Opens through the desktop's opener program, judged by its result.
class QtWorkspace final : public Workspace {
 public:
  explicit QtWorkspace(std::vector<std::string> opener = {"xdg-open"}, double graceSeconds = 10)
      : opener_(std::move(opener)), graceSeconds_(graceSeconds) {}
  void open(const std::filesystem::path& file, Answer answered) override;
  void openURL(const std::string& address, Answer answered) override;

 private:
  std::vector<std::string> opener_;
  double graceSeconds_;
};

// Quits once the current event is handled, so the caller's stack unwinds first.
class QtApplicationControl final : public ApplicationControl {
 public:
  void terminate() override;
};

// A message over the window (window-modal, opened without blocking).
class QtErrorAlertPresenter final : public ErrorAlertPresenter {
 public:
  explicit QtErrorAlertPresenter(QWidget* window) : window_(window) {}
  void showError(const std::string& title, const std::string& message,
                 std::function<void()> onDismiss) override;

 private:
  QPointer<QWidget> window_;
};

// The services of the desktop for a window.
SplashServices makeQtSplashServices(QWidget* window);

}  // namespace app
