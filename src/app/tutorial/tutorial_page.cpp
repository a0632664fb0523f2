#include "app/tutorial/tutorial_page.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "app/tutorial/layer_layout.h"
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
  background_->hide();  // painted by the page itself, under every layer
  layers_ = new LayerLayout(this);
}

QVBoxLayout* TutorialPage::beginContentColumn(int spacing, bool padded) {
  content_ = new QWidget(this);
  content_->setObjectName(QStringLiteral("contentColumn"));
  column_ = new QVBoxLayout(content_);
  const int side = padded ? kColumnSidePadding : 0;
  column_->setContentsMargins(side, 0, side, 0);
  column_->setSpacing(spacing);
  // Stretch above and below keeps the items together in the middle of the window.
  column_->addStretch(1);
  layers_->addLayer(content_);
  return column_;
}

void TutorialPage::finishPage() {
  if (column_) column_->addStretch(1);
  const auto navigation = tutorialNavigation(step_, tutorial_.viewModel(), tutorial_.permission());
  if (navigation.hasBackRow) {
    back_ = tutorial_.backRow(this);
    layers_->addLayer(back_, back_->alignment());
  }
  if (navigation.continueEnabled) {
    continue_ = tutorial_.continueRow(*navigation.continueEnabled, this);
    layers_->addLayer(continue_, continue_->alignment());
  }
}

void TutorialPage::refresh() {
  if (continue_) continue_->refresh();
  if (back_) back_->refresh();
}

QLabel* TutorialPage::makeText(const std::string& text, const std::string& font, int size,
                               const QColor& color, bool centredText, QWidget* parent) {
  auto* label = new QLabel(QString::fromStdString(text), parent);
  label->setFont(appFont(font, size));
  QPalette palette = label->palette();
  palette.setColor(QPalette::WindowText, color);
  label->setPalette(palette);
  if (centredText) {
    label->setAlignment(Qt::AlignCenter);
    label->setWordWrap(true);
  }
  return label;
}

QLabel* TutorialPage::makeKeyText(const std::string& key, const std::string& font, int size,
                                  const QColor& color, bool centredText, QWidget* parent) {
  QLabel* label = makeText(uiText(key), font, size, color, centredText, parent);
  label->setObjectName(QString::fromStdString(key));
  return label;
}

void TutorialPage::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), Qt::black);
  background_->render(painter, rect());
}

}  // namespace app
