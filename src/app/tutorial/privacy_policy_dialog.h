#pragma once

#include <QDialog>
#include <filesystem>
#include <optional>

class QTextBrowser;

namespace app {

// The privacy-policy page shipped in the resources, in the user's language, else English.
std::optional<std::filesystem::path> shippedPrivacyPolicyPage();

// The shipped privacy policy inside the application, for a desktop that cannot open it
// elsewhere: the page in a window of its own over `over`, closed with one button.
class PrivacyPolicyDialog : public QDialog {
 public:
  PrivacyPolicyDialog(const std::filesystem::path& page, QWidget* over);
  QTextBrowser* browser() const { return browser_; }

 private:
  QTextBrowser* browser_ = nullptr;
};

// Opens the dialog over `over` without blocking; false when no page was shipped.
bool showPrivacyPolicyInside(QWidget* over);

}  // namespace app
