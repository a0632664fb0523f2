#include "app/splash/splash_screen.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <cmath>

#include "app/alert/alert_creator.h"
#include "app/bundle/localization.h"
#include "app/shell/window_geometry.h"
#include "app/style/qt_style.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"

namespace app {
namespace {

constexpr int kLogoSize = 70;
constexpr int kTitleFontSize = 35;
constexpr int kIndicatorSize = 100;

}  // namespace

SplashScreen::SplashScreen(const std::function<SplashScreenViewModelPtr()>& makeViewModel,
                           PreferencesPtr preferences, ScreenFactory screens, QWidget* parent)
    : QWidget(parent),
      viewModel_(makeViewModel()),
      preferences_(std::move(preferences)),
      screens_(std::move(screens)) {
  setObjectName(QStringLiteral("splashScreen"));
  applyDarkScheme(this);
  stack_ = new QStackedLayout(this);

  splash_ = new QWidget(this);
  splash_->setObjectName(QStringLiteral("splashContent"));
  applyDarkScheme(splash_);
  // The column keeps its natural size and sits in the middle of the black window.
  auto* outer = new QVBoxLayout(splash_);
  auto* centre = new QWidget(splash_);
  outer->addStretch(1);
  outer->addWidget(centre, 0, Qt::AlignHCenter);
  outer->addStretch(1);
  auto* column = new QVBoxLayout(centre);
  column->setContentsMargins(0, 0, 0, 0);

  auto* header = new QHBoxLayout();
  header->setSpacing(20);
  auto* logo = new ImageView("Logo", ImageScaling::stretch, centre);
  logo->setObjectName(QStringLiteral("Logo"));
  logo->setFixedSize(kLogoSize, kLogoSize);
  header->addWidget(logo);
  auto* title = new QLabel(QString::fromStdString(uiText("Tovarine")), centre);
  title->setObjectName(QStringLiteral("title"));
  title->setFont(appFont("Quicksand-Bold", kTitleFontSize));
  header->addWidget(title);
  column->addLayout(header);
  column->setAlignment(header, Qt::AlignHCenter);

  auto* indicator = new widgets::BusyIndicatorView(
      widgets::Binding<bool>::constant(true), widgets::IndicatorType::FlickeringDots{8}, centre);
  indicator->setObjectName(QStringLiteral("busyIndicator"));
  indicator->setFixedSize(kIndicatorSize, kIndicatorSize);
  QPalette palette = indicator->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  indicator->setPalette(palette);
  column->addWidget(indicator, 0, Qt::AlignHCenter);

  progressPart_ = new QWidget(centre);
  progressPart_->setObjectName(QStringLiteral("downloadProgress"));
  auto* progressColumn = new QVBoxLayout(progressPart_);
  progressColumn->setContentsMargins(0, 0, 0, 0);
  auto* label = new QLabel(QString::fromStdString(uiText("ALERT_DOWNLOAD_BAR")), progressPart_);
  progressColumn->addWidget(label);
  progressBar_ = new QProgressBar(progressPart_);
  progressBar_->setRange(0, 1000);
  progressBar_->setTextVisible(false);
  QPalette barPalette = progressBar_->palette();
  barPalette.setColor(QPalette::Highlight, Qt::white);
  progressBar_->setPalette(barPalette);
  progressColumn->addWidget(progressBar_);
  progressPart_->setFixedWidth(static_cast<int>(std::lround(progressBarWidth(mainScreenWidth()))));
  progressPart_->hide();
  column->addWidget(progressPart_, 0, Qt::AlignHCenter);

  stack_->addWidget(splash_);

  std::weak_ptr<SplashScreenViewModel> weakModel = viewModel_;
  alertCreator_ = new AlertCreator(
      splash_,
      VersioningBinding{[weakModel]() -> VersioningPtr {
                          auto model = weakModel.lock();
                          return model ? model->versioning.get() : nullptr;
                        },
                        [weakModel](VersioningPtr value) {
                          if (auto model = weakModel.lock()) model->versioning = std::move(value);
                        }},
      [weakModel] {
        if (auto model = weakModel.lock()) model->startInstallerDownload();
      },
      [weakModel] {
        if (auto model = weakModel.lock()) model->togglePresentTutorial();
      });

  if (viewModel_) {
    changes_ = viewModel_->objectWillChange().subscribe([this] { scheduleRebuild(); });
  }
  rebuild();
}

SplashScreen::~SplashScreen() {
  changes_.cancel();
}

QWidget* SplashScreen::progressPart() const {
  return progressPart_;
}

void SplashScreen::scheduleRebuild() {
  // The change is announced before it is made; redraw once it has been, after the current
  // event, folding several changes into one redraw.
  if (rebuildScheduled_) return;
  rebuildScheduled_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        rebuildScheduled_ = false;
        rebuild();
      },
      Qt::QueuedConnection);
}

void SplashScreen::rebuild() {
  if (!viewModel_) return;
  if (viewModel_->presentTutorial.get()) {
    if (!next_) {
      // True, or nothing stored, means the first run is over.
      const bool firstRunOver = !preferences_ || preferences_->isNotFirstTime().value_or(true);
      const auto& make = firstRunOver ? screens_.makeStartingScreen : screens_.makeTutorial;
      next_ = make ? make(this) : new QWidget(this);
      applyDarkScheme(next_);
      stack_->addWidget(next_);
    }
    stack_->setCurrentWidget(next_);
    alertCreator_->refresh();
    return;
  }
  stack_->setCurrentWidget(splash_);
  const auto& progress = viewModel_->progress.get();
  if (progress) {
    progressBar_->setValue(static_cast<int>(std::lround(std::clamp(*progress, 0.0, 100.0) * 10)));
    progressPart_->show();
  } else {
    progressPart_->hide();
  }
  alertCreator_->refresh();
}

}  // namespace app
