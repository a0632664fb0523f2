#include "app/tutorial/check_box_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>

#include "app/style/qt_style.h"
#include "app/tutorial/symbol_button.h"
#include "platform/foundation/log.h"

namespace app {
namespace {

constexpr int kBoxSide = 30;
constexpr int kSpacing = 35;
constexpr int kTitleFontSize = 23;

void setTextColor(QWidget* widget, const QColor& color) {
  QPalette palette = widget->palette();
  for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
    palette.setColor(QPalette::Active, role, color);
    palette.setColor(QPalette::Inactive, role, color);
  }
  widget->setPalette(palette);
}

}  // namespace

CheckBoxView::CheckBoxView(CheckBox checkBox, std::shared_ptr<Workspace> workspace, QWidget* parent)
    : QWidget(parent), checkBox_(std::move(checkBox)), workspace_(std::move(workspace)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(kSpacing);

  box_ = new SymbolButton(checkBox_.symbolName(), toQColor(checkBox_.boxColor()),
                          QSize(kBoxSide, kBoxSide), SymbolButton::Style::borderless, this);
  box_->setObjectName(QStringLiteral("checkBoxSymbol"));
  connect(box_, &QAbstractButton::clicked, this, [this] {
    checkBox_.toggle();
    // The owner redraws on its own schedule; the box shows the new state at once.
    refresh();
  });
  layout->addWidget(box_, 0, Qt::AlignVCenter);

  const QString title = QString::fromStdString(checkBox_.shownTitle());
  const QColor titleColor = toQColor(checkBox_.shownTitleColor());
  if (checkBox_.isLink()) {
    auto* link = new QPushButton(title, this);
    link->setFlat(true);
    link->setCursor(Qt::PointingHandCursor);
    link->setFont(appFont("Quicksand-Medium", kTitleFontSize));
    // Borderless: only the text, in the link colour, whatever the style would draw.
    link->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; "
                                       "padding: 0px; color: %1; text-align: left; }")
                            .arg(titleColor.name()));
    connect(link, &QAbstractButton::clicked, this, [this] {
      QPointer<CheckBoxView> alive(this);
      auto fallback = [alive] {
        if (alive && alive->linkFallback_) alive->linkFallback_();
      };
      if (workspace_ && checkBox_.openLink(*workspace_, fallback)) return;
      if (linkFallback_) {
        linkFallback_();
        return;
      }
      // A build without the address (or with a bad one) opens nothing, and says so.
      platform::print("The link has no usable address configured; nothing was opened.");
    });
    title_ = link;
  } else {
    auto* label = new QLabel(title, this);
    label->setFont(appFont("Quicksand-Medium", kTitleFontSize));
    setTextColor(label, titleColor);
    title_ = label;
  }
  title_->setObjectName(QStringLiteral("checkBoxTitle"));
  layout->addWidget(title_, 0, Qt::AlignVCenter);
  layout->addStretch(1);
}

void CheckBoxView::refresh() {
  box_->setSymbolName(checkBox_.symbolName());
  box_->setSymbolColor(toQColor(checkBox_.boxColor()));
}

}  // namespace app
