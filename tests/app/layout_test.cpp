// Every screen state at the window sizes the application makes for common screens (853x600
// for 1280x720 up to 2560x1800 for 3840x2160), in each language: nothing overlaps, nothing is
// cut, nothing leaves the window.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <climits>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "app/alert/alert_creator.h"
#include "app/bundle/locale.h"
#include "app/splash/splash_screen.h"
#include "app/starting/starting_screen_view.h"
#include "app/style/fit_layout.h"
#include "app/style/qt_style.h"
#include "app/support/app_test_support.h"
#include "app/tutorial/navigation_row.h"
#include "app/tutorial/tutorial_page.h"
#include "app/tutorial/tutorial_screen.h"

namespace app {
namespace {

using streaming::DeviceStatus;
using test::FakeCoordinator;
using test::FakePermission;

const QSize kWindowSizes[] = {{853, 600}, {911, 640}, {1280, 900}, {2560, 1800}};
const char* const kLanguages[] = {"en", "it"};

class ScopedLanguage {
 public:
  explicit ScopedLanguage(const std::string& code) { Locale::setCurrent(Locale{code}); }
  ~ScopedLanguage() { Locale::setCurrent(std::nullopt); }
};

QRect rectIn(const QWidget& widget, const QWidget& root) {
  return QRect(widget.mapTo(&root, QPoint(0, 0)), widget.size());
}

QString nameOf(const QWidget& widget) {
  const QString name = widget.objectName();
  return QString::fromLatin1(widget.metaObject()->className()) +
         (name.isEmpty() ? QString() : QLatin1Char('#') + name);
}

// Whether the text a label shows fits its rectangle, measured with the font it draws in.
bool textFits(const QLabel& label) {
  if (label.text().isEmpty()) return true;
  const QSize needed = textSize(label.text(), label.font(), label.width(), label.wordWrap());
  return needed.width() <= label.width() && needed.height() <= label.height();
}

// What is wrong with the layout of `root`: the visible widgets that draw something (those
// without visible children of their own, less declared backgrounds) must not overlap each
// other or leave `root`, and every label's text must fit.
std::vector<std::string> layoutProblems(QWidget& root) {
  std::vector<QWidget*> leaves;
  for (QWidget* widget : root.findChildren<QWidget*>()) {
    if (!widget->isVisibleTo(&root) || widget->isWindow()) continue;
    if (widget->property("layoutBackground").toBool()) continue;
    bool hasVisibleChild = false;
    for (QWidget* child : widget->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      hasVisibleChild |= child->isVisibleTo(&root) && !child->isWindow();
    }
    if (!hasVisibleChild && widget->width() > 0 && widget->height() > 0) leaves.push_back(widget);
  }
  std::vector<std::string> problems;
  auto describe = [&](const QWidget& w) {
    const QRect r = rectIn(w, root);
    std::ostringstream out;
    out << nameOf(w).toStdString() << " [" << r.x() << "," << r.y() << " " << r.width() << "x"
        << r.height() << "]";
    return out.str();
  };
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    const QRect a = rectIn(*leaves[i], root);
    if (!root.rect().contains(a)) problems.push_back(describe(*leaves[i]) + " leaves the window");
    for (std::size_t j = i + 1; j < leaves.size(); ++j) {
      if (a.intersects(rectIn(*leaves[j], root))) {
        problems.push_back(describe(*leaves[i]) + " overlaps " + describe(*leaves[j]));
      }
    }
    if (auto* label = qobject_cast<QLabel*>(leaves[i]); label && !textFits(*label)) {
      problems.push_back(describe(*label) + " cuts its text \"" + label->text().toStdString() +
                         "\"");
    }
    if (auto* capsule = dynamic_cast<CapsuleButton*>(leaves[i])) {
      const QSize needed = capsule->sizeAt(capsule->scale());
      if (needed.width() > capsule->width() || needed.height() > capsule->height()) {
        problems.push_back(describe(*capsule) + " is smaller than its label");
      }
    }
  }
  return problems;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string text;
  for (const auto& line : lines)
    text += "\n  " + line;
  return text;
}

// The distance of a widget's rectangle from the right and bottom (or left and bottom) edges.
int rightGap(const QWidget& w, const QWidget& root) {
  return root.width() - 1 - rectIn(w, root).right();
}
int bottomGap(const QWidget& w, const QWidget& root) {
  return root.height() - 1 - rectIn(w, root).bottom();
}

// The pixels of a backdrop drawn at `size` where it changes sharply from its left neighbour
// inside `area`: the smooth gradient has none, a drawing's strokes have many.
int backdropEdges(const std::string& image, QSize size, QRect area) {
  ImageView view(image, ImageScaling::fill);
  QImage picture(size, QImage::Format_RGB32);
  picture.fill(Qt::black);
  QPainter painter(&picture);
  view.render(painter, QRectF(QPointF(0, 0), QSizeF(size)));
  painter.end();
  area = area.intersected(picture.rect());
  int edges = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = std::max(1, area.left()); x <= area.right(); ++x) {
      const QRgb a = picture.pixel(x - 1, y);
      const QRgb b = picture.pixel(x, y);
      const int jump = std::abs(qRed(a) - qRed(b)) + std::abs(qGreen(a) - qGreen(b)) +
                       std::abs(qBlue(a) - qBlue(b));
      edges += jump > 12;
    }
  }
  return edges;
}

class Layout : public testing::Test {
 protected:
  Layout() { test::qtApplication(); }

  // Shows `screen` at every size in every language, checking it in each of its states.
  // `make` builds the screen for the current language; `states` names each state and puts
  // the screen in it.
  struct State {
    std::string name;
    std::function<void()> enter;
  };
  void checkEveryState(const std::function<QWidget*()>& make,
                       const std::function<std::vector<State>(QWidget&)>& states,
                       const std::function<void(QWidget&, const std::string&, QSize)>& extra = {}) {
    for (const char* language : kLanguages) {
      ScopedLanguage scoped(language);
      for (const QSize size : kWindowSizes) {
        std::unique_ptr<QWidget> screen(make());
        screen->setFixedSize(size);
        screen->show();
        test::processQtEvents();
        for (const State& state : states(*screen)) {
          if (state.enter) state.enter();
          test::processQtEvents();
          const std::string where = state.name + " " + language + " " +
                                    std::to_string(size.width()) + "x" +
                                    std::to_string(size.height());
          const auto problems = layoutProblems(*screen);
          EXPECT_TRUE(problems.empty()) << where << joined(problems);
          if (extra) extra(*screen, where, size);
          if (size == QSize(853, 600) || size == QSize(1280, 900)) {
            test::saveScreenshot(test::render(*screen), "layout-" + state.name + "-" + language +
                                                            "-" + std::to_string(size.width()));
          }
        }
      }
    }
  }

  test::ScopedBuildBundle bundle_;
  test::ScopedUserDefaults defaults_;
};

TEST_F(Layout, Splash) {
  test::FakeServices fakes;
  auto updator = std::make_shared<test::FakeUpdator>();
  SplashScreen* splash = nullptr;
  checkEveryState(
      [&] {
        splash =
            new SplashScreen([&] { return SplashScreenViewModel::make(updator, fakes.services()); },
                             std::make_shared<UserDefaultsPreferences>(), ScreenFactory{});
        return splash;
      },
      [&](QWidget&) -> std::vector<State> {
        auto model = splash->viewModel();
        return {{"splash-checking", nullptr},
                {"splash-downloading", [model] { model->progress = 40.0; }},
                {"splash-download-failed", [model] { model->downloadFailed = true; }}};
      },
      [&](QWidget& root, const std::string& where, QSize) {
        // The logo and the name stay one centred row, with or without the parts below.
        const QRectF header = rectIn(*splash->header(), root);
        EXPECT_NEAR(header.center().x(), root.width() / 2.0, 1.0) << where;
        const QWidget* title = splash->findChild<QLabel*>("title");
        ASSERT_NE(title, nullptr);
        EXPECT_EQ(title->width(), title->sizeHint().width()) << where;
        if (splash->progressPart()->isVisible()) {
          EXPECT_NEAR(QRectF(rectIn(*splash->progressPart(), root)).center().x(),
                      root.width() / 2.0, 1.0)
              << where;
        }
      });
}

TEST_F(Layout, TutorialPages) {
  auto permission = std::make_shared<FakePermission>();
  auto workspace = std::make_shared<test::FakeWorkspace>();
  TutorialScreen* tutorial = nullptr;
  auto step = [&](int times) {
    return [&tutorial, times] {
      for (int i = 0; i < times; ++i)
        tutorial->viewModel()->nextStep();
    };
  };
  checkEveryState(
      [&] {
        permission->granted = false;
        tutorial = new TutorialScreen(&TutorialViewModel::make, nullptr, permission, workspace);
        return tutorial;
      },
      [&](QWidget&) -> std::vector<State> {
        return {{"welcome", nullptr},
                {"terms", step(1)},
                {"terms-ticked",
                 [&] {
                   tutorial->viewModel()->termsConditionBinding(0).set(true);
                   tutorial->viewModel()->termsConditionBinding(1).set(true);
                 }},
                {"introduction", step(1)},
                {"login", step(1)},
                {"permission", step(1)},
                {"permission-granted", [&] {
                   permission->granted = true;
                   tutorial->currentPage()->refresh();
                 }}};
      },
      [&](QWidget& root, const std::string& where, QSize size) {
        TutorialPage* page = tutorial->currentPage();
        ASSERT_NE(page, nullptr) << where;
        const double scale = page->pageLayout()->scale();
        // The buttons' 60 points to the edges hold wherever they fit, and shrink with the rest.
        if (size.height() >= 900) {
          EXPECT_EQ(scale, 1.0) << where;
        }
        // Measured to the capsule drawn, inside the room its button keeps for the focus ring.
        const int edge = static_cast<int>(std::lround(NavigationRow::kEdgeDistance * scale)) -
                         CapsuleButton::kFocusMargin;
        const QWidget* next = page->continueRow()->button();
        EXPECT_EQ(rightGap(*next, root), edge) << where;
        EXPECT_EQ(bottomGap(*next, root), edge) << where;
        if (page->backRow()) {
          EXPECT_EQ(rectIn(*page->backRow()->button(), root).left(), edge) << where;
          EXPECT_EQ(bottomGap(*page->backRow()->button(), root), edge) << where;
        }
        if (page->step() == TutorialStep::Introduction) {
          // The welcome artwork keeps out from behind the texts and the button.
          std::vector<QRect> areas{rectIn(*next, root)};
          for (const QLabel* label : page->findChildren<QLabel*>()) {
            areas.push_back(rectIn(*label, root));
          }
          for (const QRect& area : areas) {
            EXPECT_EQ(backdropEdges("background", size, area), 0) << where;
          }
        }
      });
}

TEST_F(Layout, StartingScreen) {
  auto coordinator = std::make_shared<FakeCoordinator>();
  auto permission = std::make_shared<FakePermission>();
  StartingScreenView* screen = nullptr;
  auto status = [&](bool allowed, DeviceStatus s) {
    return [&, allowed, s] {
      permission->granted = allowed;
      coordinator->deviceStatus = s;
      screen->rebuild();
    };
  };
  checkEveryState(
      [&] {
        permission->granted = false;
        coordinator->deviceStatus = DeviceStatus::Detached;
        screen = new StartingScreenView(
            [&] {
              return std::make_shared<PublishedDeviceStatusSource<FakeCoordinator>>(coordinator);
            },
            std::make_shared<UserDefaultsPreferences>(), permission);
        return screen;
      },
      [&](QWidget&) -> std::vector<State> {
        return {{"starting-no-permission", nullptr},
                {"starting-no-permission-attached", status(false, DeviceStatus::Attached)},
                {"starting-detached", status(true, DeviceStatus::Detached)},
                {"starting-attached", status(true, DeviceStatus::Attached)},
                {"starting-connected", status(true, DeviceStatus::Connected)}};
      },
      [&](QWidget&, const std::string& where, QSize size) {
        // Texts take the column's width: on a large window the short sentence stays on one
        // line and the permission sentence on two (three for the longer Italian one).
        if (size.width() < 1280) return;
        const bool italian = Locale::current().languageCode() == std::optional<std::string>("it");
        struct Case {
          StartingRow row;
          const char* key;
          int lines;
        };
        for (const Case& c :
             {Case{StartingRow::detached, "START_NO_USB", 1},
              Case{StartingRow::noPermission, "PERMISSION_MAC_DESCRIPTION", italian ? 3 : 2}}) {
          if (screen->currentRow() != c.row) continue;
          const QLabel* text = nullptr;
          for (const QLabel* label : screen->findChildren<QLabel*>(c.key)) {
            if (label->isVisible()) text = label;
          }
          ASSERT_NE(text, nullptr) << where;
          const QFontMetrics metrics(text->font());
          EXPECT_LE(text->height(), c.lines * metrics.lineSpacing() + metrics.descent()) << where;
        }
      });
}

// The alerts laid out on their own: their parts inside them, none over another, no text cut.
TEST_F(Layout, Alerts) {
  test::FakeServices fakes;
  auto updator = std::make_shared<test::FakeUpdator>();
  for (const char* language : kLanguages) {
    ScopedLanguage scoped(language);
    for (bool mandatory : {true, false}) {
      SplashScreen splash([&] { return SplashScreenViewModel::make(updator, fakes.services()); },
                          std::make_shared<UserDefaultsPreferences>(), ScreenFactory{});
      splash.setFixedSize(853, 600);
      splash.show();
      updator->versioningCompletions.back()(test::updateOffer(mandatory));
      test::processQtEvents();
      QMessageBox* alert = splash.alertCreator()->currentAlert();
      ASSERT_NE(alert, nullptr);
      const auto problems = layoutProblems(*alert);
      EXPECT_TRUE(problems.empty())
          << language << (mandatory ? " mandatory" : " optional") << joined(problems);
      alert->close();
    }
  }
}

}  // namespace
}  // namespace app
