#include "app/tutorial/privacy_policy_dialog.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>
#include <string>
#include <vector>

#include "app/bundle/bundle.h"
#include "app/bundle/locale.h"
#include "app/bundle/localization.h"
#include "app/style/qt_style.h"

namespace app {
namespace {

constexpr int kMaximumWidth = 900;
constexpr int kMaximumHeight = 760;
constexpr int kMargin = 24;

}  // namespace

std::optional<std::filesystem::path> shippedPrivacyPolicyPage() {
  auto bundle = Bundle::main();
  std::vector<std::string> languages;
  if (auto language = Locale::current().languageCode()) languages.push_back(*language);
  languages.push_back("en");
  for (const auto& language : languages) {
    auto folder = bundle->pathForResource(language, "lproj");
    if (!folder) continue;
    const auto page = *folder / "PrivacyPolicy.html";
    std::error_code ec;
    if (std::filesystem::is_regular_file(page, ec)) return page;
  }
  return std::nullopt;
}

PrivacyPolicyDialog::PrivacyPolicyDialog(const std::filesystem::path& page, QWidget* over)
    : QDialog(over ? over->window() : nullptr) {
  setObjectName(QStringLiteral("privacyPolicyDialog"));
  setWindowTitle(QString::fromStdString(uiText("PRIVACY_POLICY_TITLE")));
  applyDarkScheme(this);
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(kMargin, kMargin, kMargin, kMargin);
  browser_ = new QTextBrowser(this);
  browser_->setObjectName(QStringLiteral("privacyPolicyText"));
  // Nothing on this desktop opens addresses; the page's own links stay inside it.
  browser_->setOpenExternalLinks(false);
  browser_->setOpenLinks(false);
  browser_->setSource(QUrl::fromLocalFile(QString::fromStdString(page.string())));
  column->addWidget(browser_, 1);
  auto* buttons = new QDialogButtonBox(this);
  auto* close = buttons->addButton(QString::fromStdString(uiText("BUTTON_CLOSE")),
                                   QDialogButtonBox::AcceptRole);
  close->setObjectName(QStringLiteral("BUTTON_CLOSE"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  column->addWidget(buttons);
  // Most of the window, never past a comfortable reading width.
  const QSize room = over ? over->window()->size() : QSize(kMaximumWidth, kMaximumHeight);
  resize(std::min(kMaximumWidth, std::max(320, room.width() - 2 * kMargin)),
         std::min(kMaximumHeight, std::max(240, room.height() - 2 * kMargin)));
}

bool showPrivacyPolicyInside(QWidget* over) {
  const auto page = shippedPrivacyPolicyPage();
  if (!page) return false;
  auto* dialog = new PrivacyPolicyDialog(*page, over);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  dialog->setWindowModality(Qt::WindowModal);
  dialog->open();
  return true;
}

}  // namespace app
