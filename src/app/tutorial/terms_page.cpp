#include "app/tutorial/terms_page.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <vector>

#include "app/bundle/bundle.h"
#include "app/bundle/localization.h"
#include "app/style/qt_style.h"
#include "app/tutorial/check_box_view.h"
#include "app/tutorial/privacy_policy_dialog.h"
#include "app/tutorial/symbol_button.h"
#include "app/tutorial/tutorial_screen.h"
#include "platform/foundation/log.h"
#include "platform/net/url.h"

namespace app {
namespace {

constexpr int kCarouselTextSize = 20;
constexpr double kCarouselSpacing = 10;
constexpr double kCarouselHeadspace = 10;
constexpr double kCarouselSidesScaling = 0.8;
// A chevron as tall as the system font's glyph at 60 points.
const QSize kArrowSymbolSize(34, 60);
constexpr int kBoxesSpacing = 32;

void paintPolicyText(QPainter& painter, const QRectF& frame, const std::string& text) {
  painter.setFont(appFont("Quicksand-Medium", kCarouselTextSize));
  painter.setPen(Qt::white);
  painter.drawText(frame, Qt::AlignCenter | Qt::TextWordWrap, QString::fromStdString(text));
}

}  // namespace

std::string privacyPolicyAddress() {
  const std::string configured = configuredPrivacyPolicyAddress();
  if (!configured.empty()) return configured;
  if (auto page = shippedPrivacyPolicyPage()) {
    return platform::URL::fileURLWithPath(page->string()).absoluteString();
  }
  return {};
}

std::string configuredPrivacyPolicyAddress() {
  return Bundle::main()->infoText("TovarinePrivacyPolicyURL").value_or("");
}

PrivacyPolicyCarousel::PrivacyPolicyCarousel(std::vector<std::string> texts,
                                             widgets::Binding<int> index, QWidget* parent)
    : widgets::Carousel<std::string, std::string>(
          std::move(texts), [](const std::string& text) { return text; }, std::move(index), false,
          kCarouselSpacing, kCarouselHeadspace, kCarouselSidesScaling,
          widgets::CarouselAutoScroll::inactive(), paintPolicyText, parent) {
  setObjectName(QStringLiteral("privacyPolicyCarousel"));
  setMaximumHeight(kMaximumHeight);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QSize PrivacyPolicyCarousel::sizeHint() const {
  return {400, kMaximumHeight};
}

QSize PrivacyPolicyCarousel::minimumSizeHint() const {
  return {100, kMinimumHeight};
}

TermsPage::TermsPage(TutorialScreen& tutorial, QWidget* parent)
    : TutorialPage(tutorial, TutorialStep::TermsPrivacy, "backgroudnologo", parent) {
  const auto& viewModel = tutorial.viewModel();
  beginContentColumn(40, true);
  addKeyText("TERMS_PRIVACY_TUTORIAL_TITLE", "Quicksand-Bold", 50, Qt::white, false);

  auto* carouselRow = new QWidget(this);
  carouselRow->setObjectName(QStringLiteral("privacyPolicyRow"));
  auto* row = new QHBoxLayout(carouselRow);
  row->setContentsMargins(0, 0, 0, 0);
  previous_ = new SymbolButton("chevron.left", Qt::white, kArrowSymbolSize,
                               SymbolButton::Style::bezel, carouselRow);
  previous_->setObjectName(QStringLiteral("chevronLeft"));
  connect(previous_, &QAbstractButton::clicked, this,
          [viewModel] { viewModel->showPreviousPrivacyPolicy(); });
  carousel_ = new PrivacyPolicyCarousel(viewModel->privacyPolicy(),
                                        viewModel->privacyPolicyIndexBinding(), carouselRow);
  next_ = new SymbolButton("chevron.right", Qt::white, kArrowSymbolSize, SymbolButton::Style::bezel,
                           carouselRow);
  next_->setObjectName(QStringLiteral("chevronRight"));
  connect(next_, &QAbstractButton::clicked, this,
          [&tutorial] { tutorial.showNextPrivacyPolicy(); });
  row->addWidget(previous_, 0, Qt::AlignVCenter);
  row->addWidget(carousel_, 1);
  row->addWidget(next_, 0, Qt::AlignVCenter);
  // The carousel gives up height first where the window is short, down to its minimum.
  addItem(carouselRow, true, [](double scale, int width) {
    const int height = static_cast<int>(std::lround(PrivacyPolicyCarousel::kMaximumHeight * scale));
    return QSize(width, std::max(PrivacyPolicyCarousel::kMinimumHeight, height));
  });

  auto* boxes = new QWidget(this);
  boxes->setObjectName(QStringLiteral("termsBoxes"));
  auto* boxesLayout = new QVBoxLayout(boxes);
  boxesLayout->setContentsMargins(0, 0, 0, 0);
  boxesLayout->setSpacing(kBoxesSpacing);
  const Color white{1, 1, 1, 1};
  boxes_[0] = new CheckBoxView(CheckBox(viewModel->termsConditionBinding(0),
                                        localizedString("TERMS_PRIVACY_AND_POLICY"), white),
                               tutorial.workspace(), boxes);
  boxes_[1] = new CheckBoxView(
      CheckBox(viewModel->termsConditionBinding(1), localizedString("TERMS_PRIVACY_AND_DISCLOSURE"),
               white, std::nullopt, privacyPolicyAddress()),
      tutorial.workspace(), boxes);
  // Where nothing opens the policy outside, it is shown here.
  boxes_[1]->setLinkFallback([this] {
    if (!showPrivacyPolicyInside(this)) {
      platform::print("No privacy-policy page is shipped; nothing was shown.");
    }
  });
  for (int entry = 0; entry < 2; ++entry) {
    boxes_[entry]->setObjectName(QStringLiteral("termsBox%1").arg(entry));
    boxesLayout->addWidget(boxes_[entry], 0, Qt::AlignLeft);
  }
  addItem(boxes, false);
  finishPage();
}

void TermsPage::refresh() {
  TutorialPage::refresh();
  for (auto* box : boxes_)
    box->refresh();
  // The arrows move the position from outside the carousel, which then starts again from it;
  // a drag has already put the carousel where the position says.
  const int position = tutorial().viewModel()->privacyPolicyIndex.get();
  if (carousel_->viewModel()->activeIndex() != position) carousel_->rebuild();
}

}  // namespace app
