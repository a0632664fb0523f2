#pragma once

#include <string>
#include <vector>

#include "app/tutorial/tutorial_page.h"
#include "widgets/carousel/carousel_widget.h"

namespace app {

class CheckBoxView;
class SymbolButton;

// The privacy-policy texts as a carousel: up to 250 points tall, as wide as the row allows,
// each text its own identity.
class PrivacyPolicyCarousel : public widgets::Carousel<std::string, std::string> {
 public:
  static constexpr int kMaximumHeight = 250;
  static constexpr int kMinimumHeight = 100;

  PrivacyPolicyCarousel(std::vector<std::string> texts, widgets::Binding<int> index,
                        QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
};

// The terms and the privacy policy: the title, the privacy-policy carousel between its two
// arrows, and the two terms boxes (the second one's title links to the privacy-policy page).
// Continue is enabled once both boxes are ticked.
class TermsPage : public TutorialPage {
 public:
  TermsPage(TutorialScreen& tutorial, QWidget* parent = nullptr);

  SymbolButton* previousArrow() const { return previous_; }
  SymbolButton* nextArrow() const { return next_; }
  PrivacyPolicyCarousel* carousel() const { return carousel_; }
  CheckBoxView* termsBox(int entry) const { return boxes_[entry == 0 ? 0 : 1]; }

  void refresh() override;

 private:
  SymbolButton* previous_ = nullptr;
  SymbolButton* next_ = nullptr;
  PrivacyPolicyCarousel* carousel_ = nullptr;
  CheckBoxView* boxes_[2] = {nullptr, nullptr};
};

// Where the second terms box points: the privacy-policy address of the bundle's information,
// else the privacy-policy page shipped in the resources (in the user's language, else English).
std::string privacyPolicyAddress();

// The privacy-policy address the bundle's information configures; empty when none is.
std::string configuredPrivacyPolicyAddress();

}  // namespace app
