#include "app/tutorial/tutorial_screen.h"

#include <QGuiApplication>

#include "app/shell/qt_services.h"
#include "app/style/qt_style.h"
#include "app/tutorial/introduction_page.h"
#include "app/tutorial/login_page.h"
#include "app/tutorial/navigation_row.h"
#include "app/tutorial/permission_page.h"
#include "app/tutorial/terms_page.h"
#include "app/tutorial/welcome_page.h"

namespace app {

TutorialScreen::TutorialScreen(const ViewModelFactory& makeViewModel,
                               StartingScreenFactory finished,
                               std::shared_ptr<ScreenCapturePermission> permission,
                               std::shared_ptr<Workspace> workspace, QWidget* parent)
    : QWidget(parent),
      viewModel_(makeViewModel ? makeViewModel() : TutorialViewModel::make()),
      finished_(std::move(finished)),
      permission_(std::move(permission)),
      workspace_(std::move(workspace)) {
  setObjectName(QStringLiteral("tutorialScreen"));
  applyDarkScheme(this);
  stack_ = new QStackedLayout(this);
  stack_->setContentsMargins(0, 0, 0, 0);
  changes_ = viewModel_->objectWillChange().subscribe([this] { scheduleRebuild(); });
  // The permission is not observed; coming back from the desktop's settings refreshes the page.
  connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
    if (s == Qt::ApplicationActive && page_) page_->refresh();
  });
  rebuild();
}

TutorialScreen::TutorialScreen(StartingScreenFactory finished,
                               std::shared_ptr<ScreenCapturePermission> permission, QWidget* parent)
    : TutorialScreen(
          &TutorialViewModel::make, std::move(finished),
          permission ? std::move(permission) : std::make_shared<DisplayScreenCapturePermission>(),
          std::make_shared<QtWorkspace>(), parent) {}

TutorialScreen::~TutorialScreen() {
  changes_.cancel();
}

TutorialPage* TutorialScreen::currentPage() const {
  return page_;
}

NavigationRow* TutorialScreen::continueRow(widgets::Binding<bool> enabled, QWidget* parent) {
  std::weak_ptr<TutorialViewModel> weak = viewModel_;
  return new NavigationRow(
      NavigationRow::Kind::continueRow, std::move(enabled),
      [weak] {
        if (auto model = weak.lock()) model->nextStep();
      },
      parent);
}

NavigationRow* TutorialScreen::backRow(QWidget* parent) {
  std::weak_ptr<TutorialViewModel> weak = viewModel_;
  return new NavigationRow(
      NavigationRow::Kind::back, std::nullopt,
      [weak] {
        if (auto model = weak.lock()) model->previousStep();
      },
      parent);
}

void TutorialScreen::showNextPrivacyPolicy() {
  viewModel_->showNextPrivacyPolicy();
}

void TutorialScreen::scheduleRebuild() {
  redraws_.schedule(this, [this] { rebuild(); });
}

TutorialPage* TutorialScreen::makePage(TutorialStep step) {
  switch (step) {
    case TutorialStep::Introduction:
      return new WelcomePage(*this, this);
    case TutorialStep::TermsPrivacy:
      return new TermsPage(*this, this);
    case TutorialStep::Starting:
      return new IntroductionPage(*this, this);
    case TutorialStep::LoginScreen:
      return new LoginPage(*this, this);
    case TutorialStep::RecordPermission:
      return new PermissionPage(*this, this);
    case TutorialStep::Start:
      break;
  }
  return nullptr;
}

void TutorialScreen::rebuild() {
  if (startingScreen_) return;  // the tour is over; the starting screen stays
  const TutorialStep step = viewModel_->tutorialStep.get();
  if (page_ && page_->step() == step) {
    page_->refresh();
    return;
  }
  if (page_) {
    // The button that asked for the change may still be on the stack; delete it later.
    stack_->removeWidget(page_);
    page_->hide();
    page_->deleteLater();
    page_ = nullptr;
  }
  if (step == TutorialStep::Start) {
    showStartingScreen();
    return;
  }
  page_ = makePage(step);
  stack_->addWidget(page_);
  stack_->setCurrentWidget(page_);
}

void TutorialScreen::showStartingScreen() {
  if (finished_) startingScreen_ = finished_(this);
  if (!startingScreen_) startingScreen_ = new QWidget(this);
  stack_->addWidget(startingScreen_);
  stack_->setCurrentWidget(startingScreen_);
}

std::function<QWidget*(QWidget* parent)> makeTutorialScreenFactory(
    TutorialScreen::StartingScreenFactory makeStartingScreen,
    std::shared_ptr<ScreenCapturePermission> permission) {
  return [makeStartingScreen = std::move(makeStartingScreen),
          permission = std::move(permission)](QWidget* parent) -> QWidget* {
    return new TutorialScreen(makeStartingScreen, permission, parent);
  };
}

}  // namespace app
