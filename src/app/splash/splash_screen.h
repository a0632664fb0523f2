#pragma once

#include <QPointer>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/preferences/preferences.h"
#include "app/shell/coalesced_redraw.h"
#include "app/shell/screen_factory.h"
#include "app/splash/splash_screen_view_model.h"
#include "platform/foundation/observable.h"

class QLabel;
class QProgressBar;
class QStackedLayout;

namespace app {

class AlertCreator;
class CapsuleButton;

// The window's first content: the logo and name over black with a busy indicator, the update
// alert while an update is offered, and the installer's progress bar once a download reports.
// When its view model hands over, the next screen replaces it in the same window: the tour
// while the first run is not over, else the starting screen.
class SplashScreen : public QWidget {
 public:
  SplashScreen(const std::function<SplashScreenViewModelPtr()>& makeViewModel,
               PreferencesPtr preferences, ScreenFactory screens, QWidget* parent = nullptr);
  ~SplashScreen() override;

  const SplashScreenViewModelPtr& viewModel() const { return viewModel_; }
  // The screen that replaced the splash, once there is one.
  QWidget* nextScreen() const { return next_; }
  AlertCreator* alertCreator() const { return alertCreator_; }
  QWidget* progressPart() const;
  // The logo and name row, centred above the rest.
  QWidget* header() const { return header_; }
  // The message and the try-again button of a failed mandatory download.
  QWidget* failurePart() const { return failurePart_; }
  CapsuleButton* retryButton() const { return retryButton_; }

  // Redraws from the view model's state now (it also happens after each change).
  void rebuild();

 private:
  void scheduleRebuild();
  void updatePartWidths();

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  SplashScreenViewModelPtr viewModel_;
  PreferencesPtr preferences_;
  ScreenFactory screens_;
  QStackedLayout* stack_ = nullptr;
  QWidget* splash_ = nullptr;
  QWidget* header_ = nullptr;
  QWidget* indicator_ = nullptr;
  QWidget* progressPart_ = nullptr;
  QWidget* failurePart_ = nullptr;
  QLabel* downloadLabel_ = nullptr;
  QLabel* failureMessage_ = nullptr;
  CapsuleButton* retryButton_ = nullptr;
  QProgressBar* progressBar_ = nullptr;
  AlertCreator* alertCreator_ = nullptr;
  QWidget* next_ = nullptr;
  CoalescedRedraw redraws_;
  platform::Cancellable changes_;
};

}  // namespace app
