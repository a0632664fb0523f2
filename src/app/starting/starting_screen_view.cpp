#include "app/starting/starting_screen_view.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "app/bundle/localization.h"
#include "app/shell/appearing_widget.h"
#include "app/style/fit_layout.h"
#include "app/style/qt_style.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"

namespace app {
namespace {

constexpr int kForegroundSpacing = 120;
// The stack's own spacing between the items of the state part.
constexpr int kStateSpacing = 8;
constexpr int kSidePadding = 32;
constexpr int kStateFontSize = 50;
constexpr int kIndicatorSize = 100;

}  // namespace

StartingScreenView::StartingScreenView(const DeviceStatusSourceFactory& makeViewModel,
                                       PreferencesPtr preferences,
                                       std::shared_ptr<ScreenCapturePermission> permission,
                                       QWidget* parent)
    : QWidget(parent),
      viewModel_(makeViewModel()),
      preferences_(std::move(preferences)),
      permission_(std::move(permission)) {
  setObjectName(QStringLiteral("startingScreen"));
  applyDarkScheme(this);
  background_ = new ImageView("backgroudnologo", ImageScaling::fill, this);
  background_->hide();  // painted by this view, under everything

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  foreground_ = new AppearingWidget([this] { appeared(); }, this);
  foreground_->setObjectName(QStringLiteral("startingForeground"));
  layout_ = new FitLayout(foreground_, kSidePadding);
  auto* logo = new ImageView("Logo", ImageScaling::natural, foreground_);
  logo->setObjectName(QStringLiteral("Logo"));
  layout_->addImage(logo, 0);
  outer->addWidget(foreground_);

  if (viewModel_) {
    statusSubscription_ =
        viewModel_->observeDeviceStatus([this](streaming::DeviceStatus) { rebuild(); });
    failureSubscription_ = viewModel_->observeDisplayFailure([this] { rebuild(); });
  }
  // A permission granted in the system settings shows as soon as the user comes back.
  connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState s) {
    if (s == Qt::ApplicationActive) rebuild();
  });
  rebuild();
}

StartingScreenView::~StartingScreenView() = default;

void StartingScreenView::appeared() {
  if (preferences_) preferences_->setIsNotFirstTime(true);
}

void StartingScreenView::rebuild() {
  const bool allowed = permission_ && permission_->preflight();
  const auto status = viewModel_ ? viewModel_->deviceStatus() : streaming::DeviceStatus::Detached;
  const auto failure = viewModel_ ? viewModel_->displayFailure() : std::nullopt;
  row_ = startingRow(allowed, status, failure.has_value());
  const StartingRowContent content = startingRowContent(row_);

  // The logo stays; the state part below it is made anew.
  layout_->removeFrom(1);
  int spacing = kForegroundSpacing;
  if (content.imageAbove) {
    auto* image = new ImageView(*content.imageAbove, ImageScaling::natural, foreground_);
    image->setObjectName(QString::fromStdString(*content.imageAbove));
    layout_->addImage(image, spacing);
    spacing = kStateSpacing;
  }
  const std::string said = row_ == StartingRow::displayRefused && failure
                               ? withReason(uiText(content.textKey), *failure)
                               : uiText(content.textKey);
  auto* text = new QLabel(QString::fromStdString(said), foreground_);
  text->setObjectName(QString::fromStdString(content.textKey));
  text->setFont(appFont("Quicksand-Bold", kStateFontSize));
  text->setAlignment(Qt::AlignCenter);
  text->setWordWrap(true);
  layout_->addText(text, "Quicksand-Bold", kStateFontSize, spacing);
  if (content.buttonKey) {
    auto* button = new CapsuleButton(QString::fromStdString(uiText(*content.buttonKey)),
                                     CapsuleLook::primary, foreground_);
    button->setObjectName(QString::fromStdString(*content.buttonKey));
    connect(button, &QAbstractButton::clicked, this, [this] { requestPermission(); });
    layout_->addCapsule(button, kStateSpacing);
  }
  if (content.showsBusyIndicator) {
    auto* indicator =
        new widgets::BusyIndicatorView(widgets::Binding<bool>::constant(true),
                                       widgets::IndicatorType::FlickeringDots{8}, foreground_);
    indicator->setObjectName(QStringLiteral("busyIndicator"));
    QPalette palette = indicator->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    indicator->setPalette(palette);
    layout_->addFixed(indicator, QSize(kIndicatorSize, kIndicatorSize), kStateSpacing);
  }
  for (int i = 1; i < layout_->columnCount(); ++i) {
    if (QLayoutItem* item = layout_->itemAt(i); item && item->widget()) item->widget()->show();
  }
}

void StartingScreenView::requestPermission() {
  if (!permission_ || permission_->preflight()) {
    rebuild();
    return;
  }
  permission_->request();
  // Whatever the answer, show what is true now rather than waiting for the next change.
  rebuild();
}

void StartingScreenView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  background_->render(painter, rect());
}

}  // namespace app
