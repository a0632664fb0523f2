#include "app/splash/splash_screen.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QStackedLayout>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/alert/alert_creator.h"
#include "app/bundle/localization.h"
#include "app/shell/window_geometry.h"
#include "app/style/fit_layout.h"
#include "app/style/qt_style.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"

namespace app {
namespace {

constexpr int kLogoSize = 70;
constexpr int kTitleFontSize = 35;
constexpr int kIndicatorSize = 100;
constexpr int kHeaderSpacing = 20;
constexpr int kProgressFontSize = 20;
constexpr int kProgressSpacing = 12;
constexpr int kFailureSpacing = 24;
constexpr int kBarHeight = 10;
constexpr int kSideMargin = 32;

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

  // The logo and the name are one row of their own size, centred whatever sits below them.
  header_ = new QWidget(centre);
  header_->setObjectName(QStringLiteral("splashHeader"));
  header_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  auto* header = new QHBoxLayout(header_);
  header->setContentsMargins(0, 0, 0, 0);
  header->setSpacing(kHeaderSpacing);
  auto* logo = new ImageView("Logo", ImageScaling::stretch, header_);
  logo->setObjectName(QStringLiteral("Logo"));
  logo->setFixedSize(kLogoSize, kLogoSize);
  header->addWidget(logo);
  auto* title = new QLabel(QString::fromStdString(uiText("Tovarine")), header_);
  title->setObjectName(QStringLiteral("title"));
  title->setFont(appFont("Quicksand-Bold", kTitleFontSize));
  header->addWidget(title);
  column->addWidget(header_, 0, Qt::AlignHCenter);

  indicator_ = new widgets::BusyIndicatorView(widgets::Binding<bool>::constant(true),
                                              widgets::IndicatorType::FlickeringDots{8}, centre);
  indicator_->setObjectName(QStringLiteral("busyIndicator"));
  indicator_->setFixedSize(kIndicatorSize, kIndicatorSize);
  QPalette palette = indicator_->palette();
  palette.setColor(QPalette::WindowText, Qt::white);
  indicator_->setPalette(palette);
  column->addWidget(indicator_, 0, Qt::AlignHCenter);

  progressPart_ = new QWidget(centre);
  progressPart_->setObjectName(QStringLiteral("downloadProgress"));
  auto* progressColumn = new QVBoxLayout(progressPart_);
  progressColumn->setContentsMargins(0, 0, 0, 0);
  progressColumn->setSpacing(kProgressSpacing);
  downloadLabel_ = new QLabel(QString::fromStdString(uiText("ALERT_DOWNLOAD_BAR")), progressPart_);
  downloadLabel_->setObjectName(QStringLiteral("ALERT_DOWNLOAD_BAR"));
  downloadLabel_->setFont(appFont("Quicksand-Medium", kProgressFontSize));
  downloadLabel_->setAlignment(Qt::AlignCenter);
  downloadLabel_->setWordWrap(true);
  progressColumn->addWidget(downloadLabel_);
  progressBar_ = new QProgressBar(progressPart_);
  progressBar_->setObjectName(QStringLiteral("downloadBar"));
  progressBar_->setRange(0, 1000);
  progressBar_->setTextVisible(false);
  progressBar_->setFixedHeight(kBarHeight);
  // A white fill on a dark track with round ends, whatever the style draws for a plain bar.
  progressBar_->setStyleSheet(
      QStringLiteral("QProgressBar { background: %1; border: none; border-radius: %2px; }"
                     "QProgressBar::chunk { background: white; border-radius: %2px; }")
          .arg(darkPalette().color(QPalette::Button).name())
          .arg(kBarHeight / 2));
  progressColumn->addWidget(progressBar_);
  progressPart_->hide();
  column->addWidget(progressPart_, 0, Qt::AlignHCenter);

  // A mandatory update whose download failed: what happened, and a way to try again.
  failurePart_ = new QWidget(centre);
  failurePart_->setObjectName(QStringLiteral("downloadFailure"));
  auto* failureColumn = new QVBoxLayout(failurePart_);
  failureColumn->setContentsMargins(0, 0, 0, 0);
  failureColumn->setSpacing(kFailureSpacing);
  failureMessage_ =
      new QLabel(QString::fromStdString(uiText("DOWNLOAD_FAILED_MESSAGE")), failurePart_);
  failureMessage_->setObjectName(QStringLiteral("DOWNLOAD_FAILED_MESSAGE"));
  failureMessage_->setFont(appFont("Quicksand-Medium", kProgressFontSize));
  failureMessage_->setAlignment(Qt::AlignCenter);
  failureMessage_->setWordWrap(true);
  failureColumn->addWidget(failureMessage_);
  retryButton_ = new CapsuleButton(QString::fromStdString(uiText("BUTTON_TRY_AGAIN")),
                                   CapsuleLook::primary, failurePart_);
  retryButton_->setObjectName(QStringLiteral("BUTTON_TRY_AGAIN"));
  failureColumn->addWidget(retryButton_, 0, Qt::AlignHCenter);
  failurePart_->hide();
  column->addWidget(failurePart_, 0, Qt::AlignHCenter);
  updatePartWidths();

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

  connect(retryButton_, &QAbstractButton::clicked, this, [weakModel] {
    if (auto model = weakModel.lock()) model->retryInstallerDownload();
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

void SplashScreen::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  updatePartWidths();
}

void SplashScreen::updatePartWidths() {
  // Half the main screen's width, as long as the window leaves a margin around it.
  const int wanted = static_cast<int>(std::lround(progressBarWidth(mainScreenWidth())));
  const int room = std::max(1, width() - 2 * kSideMargin);
  const int partWidth = std::min(wanted, room);
  progressPart_->setFixedWidth(partWidth);
  failurePart_->setFixedWidth(partWidth);
  // Wrapped texts in a column that sizes itself by its hints would get the height of their
  // hint's width, not of the width they are given.
  for (auto* label : {downloadLabel_, failureMessage_}) {
    label->setFixedHeight(textSize(label->text(), label->font(), partWidth, true).height());
  }
}

void SplashScreen::scheduleRebuild() {
  redraws_.schedule(this, [this] { rebuild(); });
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
  const bool failed = viewModel_->downloadFailed.get();
  if (progress && !failed) {
    progressBar_->setValue(static_cast<int>(std::lround(std::clamp(*progress, 0.0, 100.0) * 10)));
    progressPart_->show();
  } else {
    progressPart_->hide();
  }
  if (failed) {
    const std::string& said = viewModel_->downloadFailureMessage.get();
    const QString message =
        QString::fromStdString(said.empty() ? uiText("DOWNLOAD_FAILED_MESSAGE") : said);
    if (failureMessage_->text() != message) {
      failureMessage_->setText(message);
      updatePartWidths();
    }
  }
  failurePart_->setVisible(failed);
  // Nothing is under way while the failure waits for the user.
  indicator_->setVisible(!failed);
  alertCreator_->refresh();
}

}  // namespace app
