#include "app/tutorial/tutorial_page.h"

#include <QLabel>
#include <QPainter>

#include "app/bundle/localization.h"
#include "app/style/fit_layout.h"
#include "app/style/qt_style.h"
#include "app/tutorial/navigation_row.h"
#include "app/tutorial/tutorial_navigation.h"
#include "app/tutorial/tutorial_screen.h"

namespace app {
namespace {

constexpr int kColumnSidePadding = 32;

}  // namespace

TutorialPage::TutorialPage(TutorialScreen& tutorial, TutorialStep step,
                           const std::string& backgroundName, QWidget* parent)
    : QWidget(parent), tutorial_(tutorial), step_(step) {
  setObjectName(QString::fromLatin1(tutorialStepName(step).data(),
                                    static_cast<qsizetype>(tutorialStepName(step).size())) +
                QStringLiteral("Page"));
  background_ = new ImageView(backgroundName, ImageScaling::fill, this);
  background_->setObjectName(QString::fromStdString(backgroundName));
  background_->hide();  // painted by the page itself, under everything
}

void TutorialPage::beginContentColumn(int spacing, bool padded) {
  layout_ = new FitLayout(this, padded ? kColumnSidePadding : 0);
  spacing_ = spacing;
}

void TutorialPage::finishPage() {
  const auto navigation = tutorialNavigation(step_, tutorial_.viewModel(), tutorial_.permission());
  if (navigation.hasBackRow) back_ = tutorial_.backRow(this);
  if (navigation.continueEnabled) {
    continue_ = tutorial_.continueRow(*navigation.continueEnabled, this);
  }
  layout_->setCorners(back_, back_ ? back_->button() : nullptr, continue_,
                      continue_ ? continue_->button() : nullptr, NavigationRow::kEdgeDistance);
}

void TutorialPage::refresh() {
  if (continue_) continue_->refresh();
  if (back_) back_->refresh();
}

QLabel* TutorialPage::addKeyText(const std::string& key, const std::string& font, int size,
                                 const QColor& color, bool centredText) {
  auto* label = new QLabel(QString::fromStdString(uiText(key)), this);
  label->setObjectName(QString::fromStdString(key));
  label->setFont(appFont(font, size));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  label->setAlignment(Qt::AlignCenter);
  label->setWordWrap(centredText);
  layout_->addText(label, font, size, spacing_);
  return label;
}

ImageView* TutorialPage::addImage(const std::string& name, std::optional<QSize> frame) {
  auto* image = new ImageView(name, frame ? ImageScaling::stretch : ImageScaling::natural, this);
  image->setObjectName(QString::fromStdString(name));
  if (frame) {
    layout_->addFixed(image, *frame, spacing_);
  } else {
    layout_->addImage(image, spacing_);
  }
  return image;
}

CapsuleButton* TutorialPage::addCapsule(const std::string& key) {
  auto* button = new CapsuleButton(QString::fromStdString(uiText(key)), CapsuleLook::primary, this);
  button->setObjectName(QString::fromStdString(key));
  layout_->addCapsule(button, spacing_);
  return button;
}

void TutorialPage::addItem(QWidget* widget, bool fullWidth,
                           std::function<QSize(double, int)> measure,
                           std::function<void(double)> apply) {
  layout_->addCustom(widget, spacing_, fullWidth, std::move(measure), std::move(apply));
}

void TutorialPage::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  background_->render(painter, rect());
}

}  // namespace app
