#include "app/starting/starting_screen_view.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "app/bundle/localization.h"
#include "app/shell/appearing_widget.h"
#include "app/style/qt_style.h"
#include "widgets/activity-indicators/busy_indicator_view_widget.h"

namespace app {
namespace {

constexpr int kForegroundSpacing = 120;
constexpr int kStateFontSize = 50;
constexpr int kIndicatorSize = 100;

QLabel* stateText(const std::string& key, QWidget* parent) {
  auto* label = new QLabel(QString::fromStdString(uiText(key)), parent);
  label->setObjectName(QString::fromStdString(key));
  label->setFont(appFont("Quicksand-Bold", kStateFontSize));
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(true);
  return label;
}

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
  outer->setContentsMargins(20, 20, 20, 20);
  auto* foreground = new AppearingWidget([this] { appeared(); }, this);
  foreground->setObjectName(QStringLiteral("startingForeground"));
  auto* column = new QVBoxLayout(foreground);
  column->setSpacing(kForegroundSpacing);
  column->setAlignment(Qt::AlignCenter);
  auto* logo = new ImageView("Logo", ImageScaling::natural, foreground);
  logo->setObjectName(QStringLiteral("Logo"));
  column->addWidget(logo, 0, Qt::AlignHCenter);
  stateLayout_ = new QVBoxLayout();
  stateLayout_->setAlignment(Qt::AlignCenter);
  column->addLayout(stateLayout_);
  outer->addWidget(foreground, 0, Qt::AlignCenter);

  if (viewModel_) {
    statusSubscription_ =
        viewModel_->observeDeviceStatus([this](streaming::DeviceStatus) { rebuild(); });
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
  row_ = startingRow(allowed, status);
  const StartingRowContent content = startingRowContent(row_);

  if (statePart_) {
    statePart_->hide();
    statePart_->deleteLater();
  }
  auto* part = new QWidget(stateLayout_->parentWidget());
  part->setObjectName(QStringLiteral("startingState"));
  auto* layout = new QVBoxLayout(part);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setAlignment(Qt::AlignCenter);
  if (content.imageAbove) {
    auto* image = new ImageView(*content.imageAbove, ImageScaling::natural, part);
    image->setObjectName(QString::fromStdString(*content.imageAbove));
    layout->addWidget(image, 0, Qt::AlignHCenter);
  }
  layout->addWidget(stateText(content.textKey, part));
  if (content.buttonKey) {
    auto* button = new CapsuleButton(QString::fromStdString(uiText(*content.buttonKey)),
                                     CapsuleLook::primary, part);
    button->setObjectName(QString::fromStdString(*content.buttonKey));
    connect(button, &QAbstractButton::clicked, this, [this] { requestPermission(); });
    layout->addWidget(button, 0, Qt::AlignHCenter);
  }
  if (content.showsBusyIndicator) {
    auto* indicator = new widgets::BusyIndicatorView(
        widgets::Binding<bool>::constant(true), widgets::IndicatorType::FlickeringDots{8}, part);
    indicator->setObjectName(QStringLiteral("busyIndicator"));
    indicator->setFixedSize(kIndicatorSize, kIndicatorSize);
    QPalette palette = indicator->palette();
    palette.setColor(QPalette::WindowText, Qt::white);
    indicator->setPalette(palette);
    layout->addWidget(indicator, 0, Qt::AlignHCenter);
  }
  stateLayout_->addWidget(part);
  statePart_ = part;
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
