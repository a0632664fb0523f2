// The application's look: the faces the screens name are the ones drawn, the dialogs are dark
// and in Quicksand, and a capsule button shows when it has the keyboard focus.

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRawFont>
#include <QTextLayout>
#include <filesystem>

#include "app/alert/alert_creator.h"
#include "app/bundle/localization.h"
#include "app/shell/qt_services.h"
#include "app/splash/splash_screen.h"
#include "app/style/fit_layout.h"
#include "app/style/qt_style.h"
#include "app/support/app_test_support.h"

namespace app {
namespace {

const std::filesystem::path kFontFolder = "/usr/share/fonts/truetype/quicksand";

// The face a font really draws `text` with, as the bytes of its glyph outlines: two faces
// with the same outlines are the same face, whatever they are called.
QByteArray drawnOutlines(const QFont& font, const QString& text) {
  QTextLayout layout(text, font);
  layout.beginLayout();
  layout.createLine();
  layout.endLayout();
  const auto runs = layout.glyphRuns();
  return runs.isEmpty() ? QByteArray() : runs.front().rawFont().fontTable("glyf");
}

QByteArray fileOutlines(const std::string& file) {
  const QRawFont raw(QString::fromStdString((kFontFolder / file).string()), 20);
  return raw.isValid() ? raw.fontTable("glyf") : QByteArray();
}

class Look : public testing::Test {
 protected:
  Look() { test::qtApplication(); }
  test::ScopedBuildBundle bundle_;
  test::ScopedUserDefaults defaults_;
};

TEST_F(Look, EachNamedFaceIsTheOneDrawn) {
  if (!std::filesystem::exists(kFontFolder / "Quicksand-Medium.ttf")) {
    GTEST_SKIP() << "the Quicksand fonts are not installed";
  }
  struct Case {
    const char* name;
    const char* file;
  };
  for (const Case& c : {Case{"Quicksand-Bold", "Quicksand-Bold.ttf"},
                        Case{"Quicksand-Medium", "Quicksand-Medium.ttf"},
                        Case{"Quicksand-Light", "Quicksand-Light.ttf"},
                        Case{"Quicksand-Regular", "Quicksand-Regular.ttf"}}) {
    const QByteArray expected = fileOutlines(c.file);
    ASSERT_FALSE(expected.isEmpty()) << c.file;
    const QFont font = appFont(c.name, 25);
    EXPECT_EQ(drawnOutlines(font, QStringLiteral("Tovarine")), expected)
        << c.name << " is drawn as " << drawnFace(font).toStdString();
  }
  // The check tells the faces apart: Regular's outlines are not Medium's.
  EXPECT_NE(fileOutlines("Quicksand-Regular.ttf"), fileOutlines("Quicksand-Medium.ttf"));
}

TEST(FontFaces, ResolveToAFamilyOfTheirOwnWhereOneIsInstalled) {
  const QStringList debian{"Quicksand", "Quicksand Medium", "Quicksand Light"};
  const QStringList single{"Quicksand"};
  struct Case {
    const char* name;
    QStringList installed;
    FontFace expected;
  };
  const Case cases[] = {
      {"Quicksand-Medium", debian, {"Quicksand Medium", QFont::Normal}},
      {"Quicksand-Medium", single, {"Quicksand", QFont::Medium}},
      {"Quicksand-Light", debian, {"Quicksand Light", QFont::Normal}},
      {"Quicksand-Light", single, {"Quicksand", QFont::Light}},
      {"Quicksand-Bold", debian, {"Quicksand", QFont::Bold}},
      {"Quicksand-SemiBold", single, {"Quicksand", QFont::DemiBold}},
      {"Quicksand-Regular", debian, {"Quicksand", QFont::Normal}},
  };
  for (const Case& c : cases) {
    const FontFace face = resolveFontFace(c.name, c.installed);
    EXPECT_EQ(face.family, c.expected.family) << c.name;
    EXPECT_EQ(face.weight, c.expected.weight) << c.name;
  }
}

QMessageBox* visibleBox(const char* objectName) {
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->objectName() == objectName && top->isVisible()) return qobject_cast<QMessageBox*>(top);
  }
  return nullptr;
}

// Every alert over the splash: dark like the rest, texts in the application's faces, the logo
// instead of a stock icon, and wide enough that the message reads in a few lines.
TEST_F(Look, AlertsAreDarkAndInQuicksand) {
  test::FakeServices fakes;
  auto updator = std::make_shared<test::FakeUpdator>();
  SplashScreen splash([&] { return SplashScreenViewModel::make(updator, fakes.services()); },
                      std::make_shared<UserDefaultsPreferences>(), ScreenFactory{});
  splash.resize(853, 600);
  splash.show();
  QtErrorAlertPresenter presenter(&splash);
  auto updateAlert = [&](bool mandatory) {
    return [&, mandatory] {
      updator->versioningCompletions.back()(test::updateOffer(mandatory));
      test::processQtEvents();
      return splash.alertCreator()->currentAlert();
    };
  };
  auto errorAlert = [&](const char* title, const char* message) {
    return [&, title, message] {
      presenter.showError(localizedString(title), localizedString(message), nullptr);
      test::processQtEvents();
      return visibleBox("errorAlert");
    };
  };
  struct Case {
    const char* name;
    std::function<QMessageBox*()> show;
  };
  const Case cases[] = {
      {"update-mandatory", updateAlert(true)},
      {"update-optional", updateAlert(false)},
      {"save-failed", errorAlert("ALERT_SAVE_FAILED_TITLE", "ALERT_SAVE_FAILED_DESCRIPTION")},
      {"download-failed",
       errorAlert("ALERT_DOWNLOAD_FAILED_TITLE", "ALERT_DOWNLOAD_FAILED_DESCRIPTION")},
  };
  const QColor surface = darkPalette().color(QPalette::Window);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QMessageBox* box = c.show();
    ASSERT_NE(box, nullptr);
    const QImage image = test::render(*box);
    test::saveScreenshot(image, std::string("look-alert-") + c.name);
    EXPECT_EQ(image.pixelColor(3, 3), surface);
    EXPECT_EQ(image.pixelColor(image.width() - 4, image.height() - 4), surface);
    auto* title = box->findChild<QLabel*>("qt_msgbox_label");
    auto* message = box->findChild<QLabel*>("qt_msgbox_informativelabel");
    ASSERT_NE(title, nullptr);
    ASSERT_NE(message, nullptr);
    EXPECT_EQ(drawnOutlines(title->font(), title->text()), fileOutlines("Quicksand-Bold.ttf"));
    EXPECT_EQ(drawnOutlines(message->font(), message->text()),
              fileOutlines("Quicksand-Medium.ttf"));
    for (QAbstractButton* button : box->buttons()) {
      EXPECT_EQ(drawnOutlines(button->font(), button->text()), fileOutlines("Quicksand-Bold.ttf"));
    }
    EXPECT_EQ(title->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_EQ(message->palette().color(QPalette::WindowText), QColor(Qt::white));
    // Wide enough for the message to read in three lines at most.
    const int textHeight =
        textSize(message->text(), message->font(), message->width(), true).height();
    EXPECT_LT(textHeight, 4 * QFontMetrics(message->font()).lineSpacing());
    EXPECT_GE(message->width(), 400);
    EXPECT_FALSE(box->iconPixmap().isNull());
    box->close();
    test::processQtEvents();
  }
}

TEST_F(Look, TheSavePanelIsDarkAndOpensWhereItIsTold) {
  test::TemporaryFolder folder;
  folder.write("Downloads/.keep", "");
  QWidget window;
  window.show();
  QtSavePanel panel(&window);
  SavePanel::Options options;
  options.nameFieldStringValue = "Tovarine";
  options.allowedFileTypes = {"deb"};
  options.directory = folder.path() / "Downloads";
  bool answered = false;
  panel.begin(options,
              [&](SavePanel::Response, std::optional<std::filesystem::path>) { answered = true; });
  test::processQtEvents();
  QFileDialog* dialog = nullptr;
  for (QWidget* top : QApplication::topLevelWidgets()) {
    if (top->objectName() == "installerSavePanel" && top->isVisible()) {
      dialog = qobject_cast<QFileDialog*>(top);
    }
  }
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(std::filesystem::path(dialog->directory().absolutePath().toStdString()),
            options.directory);
  EXPECT_EQ(dialog->defaultSuffix(), "deb");
  const QImage image = test::render(*dialog);
  test::saveScreenshot(image, "look-save-panel");
  EXPECT_LT(image.pixelColor(3, 3).lightness(), 60);
  EXPECT_EQ(QFontInfo(dialog->font()).family(), "Quicksand Medium");
  dialog->reject();
  test::processQtEvents();
  EXPECT_TRUE(answered);
}

TEST_F(Look, ACapsuleShowsKeyboardFocusOnly) {
  QWidget window;
  window.resize(400, 200);
  auto* first = new CapsuleButton("Back", CapsuleLook::secondary, &window);
  auto* button = new CapsuleButton("Continue", CapsuleLook::continueButton, &window);
  first->move(10, 10);
  button->move(10, 100);
  window.show();
  QApplication::setActiveWindow(&window);
  test::processQtEvents();
  const QColor ring = focusRingColor();
  auto ringPixels = [&] {
    const QImage image = test::render(*button);
    // The ring runs along the top edge, above the capsule.
    return test::countPixels(image, ring.rgb(), 40, QRect(20, 0, image.width() - 40, 2));
  };
  struct Case {
    Qt::FocusReason reason;
    bool ringShown;
  };
  for (const Case& c : {Case{Qt::MouseFocusReason, false}, Case{Qt::TabFocusReason, true},
                        Case{Qt::OtherFocusReason, false}, Case{Qt::BacktabFocusReason, true},
                        Case{Qt::ShortcutFocusReason, true}}) {
    first->setFocus(Qt::OtherFocusReason);
    test::processQtEvents();
    EXPECT_EQ(ringPixels(), 0);
    button->setFocus(c.reason);
    test::processQtEvents();
    ASSERT_EQ(QApplication::focusWidget(), button);
    EXPECT_EQ(ringPixels() > 20, c.ringShown) << c.reason;
  }
}

}  // namespace
}  // namespace app
