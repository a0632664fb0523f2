#pragma once

#include <QPointer>
#include <QStackedLayout>
#include <QWidget>
#include <functional>
#include <memory>

#include "app/shell/coalesced_redraw.h"
#include "app/splash/splash_services.h"
#include "app/starting/device_status_source.h"
#include "app/tutorial/tutorial_view_model.h"
#include "platform/foundation/observable.h"
#include "widgets/binding.h"

namespace app {

class NavigationRow;
class TutorialPage;

// The first-run tour: shows the page of the view model's current step, and on the last step
// the starting screen in its place. Owns its view model.
class TutorialScreen : public QWidget {
 public:
  using ViewModelFactory = std::function<TutorialViewModelPtr()>;
  // Makes the screen the tour ends on, as a child of `parent`.
  using StartingScreenFactory = std::function<QWidget*(QWidget* parent)>;

  // `finished` is called once, when the tour reaches its last step; what it makes is shown in
  // the tour's place. The permission decides the permission page's Continue; links open
  // through the workspace.
  TutorialScreen(const ViewModelFactory& makeViewModel, StartingScreenFactory finished,
                 std::shared_ptr<ScreenCapturePermission> permission,
                 std::shared_ptr<Workspace> workspace, QWidget* parent = nullptr);
  // A new view model, the desktop's browser, and the desktop's permission when none is given.
  explicit TutorialScreen(StartingScreenFactory finished,
                          std::shared_ptr<ScreenCapturePermission> permission = nullptr,
                          QWidget* parent = nullptr);
  ~TutorialScreen() override;

  const TutorialViewModelPtr& viewModel() const { return viewModel_; }
  const std::shared_ptr<ScreenCapturePermission>& permission() const { return permission_; }
  const std::shared_ptr<Workspace>& workspace() const { return workspace_; }

  // The page on screen (none once the starting screen is shown).
  TutorialPage* currentPage() const;
  // The screen made by `finished`, once the tour has ended.
  QWidget* startingScreen() const { return startingScreen_; }

  // The building blocks the pages share. Continue moves one step on and is enabled while
  // `enabled` reads true; Back moves one step back.
  NavigationRow* continueRow(widgets::Binding<bool> enabled, QWidget* parent);
  NavigationRow* backRow(QWidget* parent);

  // The right arrow of the privacy-policy carousel.
  void showNextPrivacyPolicy();

  // Shows what the view model says now (normally done after each announced change).
  void rebuild();

 private:
  void scheduleRebuild();
  TutorialPage* makePage(TutorialStep step);
  void showStartingScreen();

  TutorialViewModelPtr viewModel_;
  StartingScreenFactory finished_;
  std::shared_ptr<ScreenCapturePermission> permission_;
  std::shared_ptr<Workspace> workspace_;
  platform::Cancellable changes_;
  QStackedLayout* stack_ = nullptr;
  QPointer<TutorialPage> page_;
  QWidget* startingScreen_ = nullptr;
  CoalescedRedraw redraws_;
};

// The tour as the shell makes the screens that follow the splash screen: each call makes a new
// tour ending on what `makeStartingScreen` makes.
std::function<QWidget*(QWidget* parent)> makeTutorialScreenFactory(
    TutorialScreen::StartingScreenFactory makeStartingScreen,
    std::shared_ptr<ScreenCapturePermission> permission = nullptr);

}  // namespace app
