// The first run of the real application, walked the way a person walks it: the splash screen,
// every page of the tour with the pointer, the login item asked for on the way, and then the
// starting screen — and a second run that goes straight to the starting screen.

#include <gtest/gtest.h>

#include <QImage>
#include <QRect>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/support/app_test_support.h"
#include "app/support/application_run_fixture.h"
#include "app/support/synthetic_input.h"

namespace app {
namespace {

namespace fs = std::filesystem;
using test::applicationBinary;
using test::Clock;
using test::SyntheticPointer;

constexpr QRgb kAccent = 0x5B68DF;
constexpr QRgb kDisabledGrey = 0x8E8E93;
constexpr QRgb kWhite = 0xFFFFFF;
const QSize kWindowSize(1280, 900);

bool near(QRgb pixel, QRgb color, int tolerance) {
  return std::abs(qRed(pixel) - qRed(color)) <= tolerance &&
         std::abs(qGreen(pixel) - qGreen(color)) <= tolerance &&
         std::abs(qBlue(pixel) - qBlue(color)) <= tolerance;
}

// The smallest rectangle holding every pixel of `color` inside `area`, when there are at least
// `minimum` of them.
std::optional<QRect> boundsOfColor(const QImage& image, QRgb color, int tolerance, QRect area,
                                   int minimum) {
  area = area.intersected(image.rect());
  int count = 0;
  QRect bounds;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      if (!near(image.pixel(x, y), color, tolerance)) continue;
      ++count;
      bounds |= QRect(x, y, 1, 1);
    }
  }
  if (count < minimum) return std::nullopt;
  return bounds;
}

// The parts of a window picture the tour's pages are told apart by. Navigation rows sit in the
// bottom corners; everything else is the page's centred content.
struct Regions {
  static QRect backCorner() { return QRect(0, 700, 640, 200); }
  static QRect continueCorner() { return QRect(640, 700, 640, 200); }
  static QRect content() { return QRect(0, 0, 1280, 720); }
  static QRect upperMiddle() { return QRect(340, 0, 600, 450); }
  // The terms page's privacy-policy texts and the arrow to their right.
  static QRect carouselText() { return QRect(120, 330, 1040, 220); }
  static QRect rightArrow() { return QRect(1160, 330, 120, 220); }
};

// Groups of touching pixels of one colour.
struct Cluster {
  QRect bounds;
  int pixels = 0;
};

// Every group of 4-connected pixels within `tolerance` of `color` inside `area`, largest first.
std::vector<Cluster> clustersOfColor(const QImage& image, QRgb color, int tolerance, QRect area) {
  area = area.intersected(image.rect());
  const int w = area.width();
  const int h = area.height();
  std::vector<uint8_t> mask(static_cast<std::size_t>(w) * static_cast<std::size_t>(h), 0);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      mask[y * w + x] = near(image.pixel(area.left() + x, area.top() + y), color, tolerance);
  std::vector<Cluster> clusters;
  std::vector<int> stack;
  for (int start = 0; start < w * h; ++start) {
    if (mask[start] != 1) continue;
    Cluster cluster;
    stack.push_back(start);
    mask[start] = 2;
    while (!stack.empty()) {
      const int at = stack.back();
      stack.pop_back();
      const int x = at % w;
      const int y = at / w;
      cluster.bounds |= QRect(area.left() + x, area.top() + y, 1, 1);
      ++cluster.pixels;
      for (const auto& [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
        const int nx = x + dx;
        const int ny = y + dy;
        if (nx < 0 || ny < 0 || nx >= w || ny >= h || mask[ny * w + nx] != 1) continue;
        mask[ny * w + nx] = 2;
        stack.push_back(ny * w + nx);
      }
    }
    clusters.push_back(cluster);
  }
  std::sort(clusters.begin(), clusters.end(),
            [](const Cluster& a, const Cluster& b) { return a.pixels > b.pixels; });
  return clusters;
}

// A capsule button in `color`: the largest group of that exact colour, button-sized. The
// backdrops only tint with the accent colour and the drawings use it in thin strokes; a filled
// capsule is thousands of pixels, its outline (the Back button) several hundred.
std::optional<QRect> capsule(const QImage& window, QRgb color, QRect area, bool filled) {
  const auto clusters = clustersOfColor(window, color, 2, area);
  if (clusters.empty()) return std::nullopt;
  const Cluster& largest = clusters.front();
  if (largest.bounds.width() < 100 || largest.bounds.height() < 40) return std::nullopt;
  const int area2 = largest.bounds.width() * largest.bounds.height();
  // Filled, most of the rectangle is the colour (the rest is the lettering and the round ends);
  // outlined, little of it is.
  const bool mostly = largest.pixels * 2 > area2;
  if (mostly != filled) return std::nullopt;
  return largest.bounds;
}

// A tick box: a square cluster of white pixels about 27 pixels across, either filled or a thin
// outline with straight sides — letters of the same size, even round ones, are neither.
struct TickBox {
  QRect bounds;
  bool ticked = false;
};

std::vector<TickBox> findTickBoxes(const QImage& window, QRect area) {
  std::vector<TickBox> boxes;
  for (const Cluster& cluster : clustersOfColor(window, kWhite, 60, area)) {
    const QRect bounds = cluster.bounds;
    if (bounds.width() < 24 || bounds.width() > 32 ||
        std::abs(bounds.width() - bounds.height()) > 2)
      continue;
    // A ticked box is filled but for the tick cut out of it; an empty one is a thin outline
    // with the backdrop inside. Either way its sides are straight: white starts right at the
    // edge all along the middle of each side.
    auto white = [&](double rx, double ry) {
      return near(window.pixel(bounds.left() + static_cast<int>(rx * (bounds.width() - 1)),
                               bounds.top() + static_cast<int>(ry * (bounds.height() - 1))),
                  kWhite, 60);
    };
    auto whiteRun = [&](int px, int py, int dx, int dy) {
      int step = 0;
      while (step < 2 && !near(window.pixel(px + step * dx, py + step * dy), kWhite, 60))
        ++step;
      int run = 0;
      while (step < bounds.width() / 2 &&
             near(window.pixel(px + step * dx, py + step * dy), kWhite, 60)) {
        ++run;
        ++step;
      }
      return run;
    };
    int thickest = 0;
    int thinnest = bounds.width();
    for (double along = 0.3; along <= 0.7; along += 0.05) {
      const int x = bounds.left() + static_cast<int>(along * bounds.width());
      const int y = bounds.top() + static_cast<int>(along * bounds.height());
      for (int run : {whiteRun(x, bounds.top(), 0, 1), whiteRun(x, bounds.bottom(), 0, -1),
                      whiteRun(bounds.left(), y, 1, 0), whiteRun(bounds.right(), y, -1, 0)}) {
        thickest = std::max(thickest, run);
        thinnest = std::min(thinnest, run);
      }
    }
    if (thinnest == 0) continue;
    const QRect inside = bounds.adjusted(bounds.width() / 4, bounds.height() / 4,
                                         -bounds.width() / 4, -bounds.height() / 4);
    const int whiteInside = test::countPixels(window, kWhite, 60, inside);
    const bool outline = thickest <= 4 && whiteInside == 0;
    const bool filled = whiteInside * 2 > inside.width() * inside.height() && white(0.2, 0.85) &&
                        white(0.85, 0.2) && !white(0.43, 0.70) && !white(0.59, 0.51);
    if (!filled && !outline) continue;
    boxes.push_back({bounds, filled});
  }
  std::sort(boxes.begin(), boxes.end(),
            [](const TickBox& a, const TickBox& b) { return a.bounds.top() < b.bounds.top(); });
  return boxes;
}

// What a page of the tour shows, as far as the test tells pages apart.
struct PageLook {
  std::optional<QRect> back;          // the outlined Back button, bottom left
  std::optional<QRect> continueOn;    // the enabled Continue button, bottom right
  std::optional<QRect> continueOff;   // the disabled one
  std::optional<QRect> centreButton;  // a filled button among the page's content
  std::vector<TickBox> boxes;

  explicit PageLook(const QImage& window)
      : back(capsule(window, kAccent, Regions::backCorner(), false)),
        continueOn(capsule(window, kAccent, Regions::continueCorner(), true)),
        continueOff(capsule(window, kDisabledGrey, Regions::continueCorner(), true)),
        centreButton(capsule(window, kAccent, Regions::content(), true)),
        boxes(findTickBoxes(window, Regions::content())) {}
};

// The application's logo above the middle of the window: its tile is shades of the accent.
bool hasLogo(const QImage& window) {
  return test::countPixels(window, 0x6A77E8, 24, Regions::upperMiddle()) > 1000;
}

// The starting screen: the plain backdrop (dark blue, where the splash is black) and the logo,
// with neither navigation row nor tick boxes.
bool looksLikeStartingScreen(const QImage& window) {
  const QRgb corner = window.pixel(40, 40);
  if (!(qBlue(corner) > 40 && qBlue(corner) > qRed(corner))) return false;
  const PageLook look(window);
  return hasLogo(window) && !look.back && !look.continueOn && !look.continueOff &&
         look.boxes.empty();
}

// The splash screen: black, with the white title and the logo in the middle, and no button.
bool looksLikeSplash(const QImage& window) {
  if (!near(window.pixel(40, 40), 0x000000, 8)) return false;
  if (!near(window.pixel(1240, 860), 0x000000, 8)) return false;
  const QRect middle(340, 250, 600, 400);
  if (test::countPixels(window, kWhite, 30, middle) < 200) return false;
  // The logo's small dot is the only thing in the accent colour.
  const auto accent = clustersOfColor(window, kAccent, 2, window.rect());
  return accent.empty() || accent.front().pixels < 200;
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The arguments of a desktop entry's Exec key: the value's own escapes undone, then split at
// spaces outside double quotes, inside which a backslash keeps the next character.
std::optional<std::vector<std::string>> execArguments(const std::string& entry) {
  std::istringstream lines(entry);
  std::string value;
  bool found = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("Exec=")) continue;
    for (std::size_t i = 5; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size()) {
        const char next = line[++i];
        value += next == 's' ? ' ' : next == 't' ? '\t' : next == 'n' ? '\n' : next;
      } else {
        value += line[i];
      }
    }
    found = true;
    break;
  }
  if (!found) return std::nullopt;
  std::vector<std::string> arguments;
  std::string current;
  bool inQuotes = false;
  bool any = false;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (inQuotes && c == '\\' && i + 1 < value.size()) {
      current += value[++i];
    } else if (c == '"') {
      inQuotes = !inQuotes;
      any = true;
    } else if (c == ' ' && !inQuotes) {
      if (any) arguments.push_back(current);
      current.clear();
      any = false;
    } else {
      current += c;
      any = true;
    }
  }
  if (inQuotes) return std::nullopt;
  if (any) arguments.push_back(current);
  return arguments;
}

// One text at rest in the carousel: centred, clear of the sides (where the neighbours pass
// while it moves).
bool isCentredText(const QImage& area) {
  const auto bounds = boundsOfColor(area, kWhite, 40, area.rect(), 50);
  if (!bounds) return false;
  return std::abs(bounds->center().x() - area.rect().center().x()) <= 6 &&
         bounds->left() > area.rect().left() + 40 && bounds->right() < area.rect().right() - 40;
}

class FirstRun : public test::ApplicationRunFixture {
 protected:
  void SetUp() override {
    ApplicationRunFixture::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    pointer_ = std::make_unique<SyntheticPointer>(x_->display());
    ASSERT_TRUE(pointer_->usable()) << "the X server has no X Test extension";
    // Held until the test has seen the splash screen, so that it is seen at all.
    holdUpdateChecks();
  }
  void TearDown() override {
    pointer_.reset();
    ApplicationRunFixture::TearDown();
  }

  Environment applicationEnvironment() const override {
    Environment environment = ApplicationRunFixture::applicationEnvironment();
    environment.set["XDG_CONFIG_HOME"] = configHome().string();
    return environment;
  }

  fs::path configHome() const { return home_.path() / "xdg-config"; }
  fs::path autostartEntry() const { return configHome() / "autostart" / "tovarine.desktop"; }
  fs::path defaultsFile() const { return configHome() / "tovarine" / "defaults.json"; }

  // Whether the settings file says the first run is over, within a few seconds.
  bool waitForFirstRunOver() {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      const auto json = nlohmann::json::parse(readFile(defaultsFile()), nullptr, false);
      if (json.is_object() && json.value("isFirstInstallation", false)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // The window's picture, taken until `predicate` holds for it (or the deadline passes); saved
  // under `name` either way, so a failure can be looked at.
  QImage waitForWindowPicture(const std::function<bool(const QImage&)>& predicate,
                              const std::string& name, int seconds = 20) {
    QImage window;
    waitFor(
        [&] {
          // Only a new picture is judged: a predicate may compare it with the one before.
          const QImage picture = windowPicture();
          if (picture.isNull()) return false;
          window = picture;
          return predicate(window);
        },
        std::chrono::seconds(seconds));
    test::saveScreenshot(window, name);
    return window;
  }

  // Clicks the middle of `area` of the window.
  void click(const QRect& area) {
    ASSERT_TRUE(pointer_->click(frame_.topLeft() + area.center())) << "the click did not arrive";
  }

  std::unique_ptr<SyntheticPointer> pointer_;
};

}  // namespace

TEST_F(FirstRun, WalksTheTourToTheStartingScreenAndALaterRunSkipsIt) {
  startApplication();
  const auto frame = waitForWindow();
  ASSERT_TRUE(frame.has_value()) << "no window appeared";
  frame_ = *frame;
  EXPECT_EQ(frame_.size(), kWindowSize);
  // No window manager places it here: the application centres it on the screen itself.
  EXPECT_EQ(frame_.center(), QRect(0, 0, 1920, 1080).center());

  // The splash screen, while the update check is still unanswered.
  QImage page = waitForWindowPicture(looksLikeSplash, "first-run-0-splash");
  ASSERT_TRUE(looksLikeSplash(page)) << "no splash screen";
  answerUpdateChecks();

  // The welcome page: Continue only.
  page = waitForWindowPicture(
      [](const QImage& w) {
        const PageLook look(w);
        return look.continueOn && !look.back;
      },
      "first-run-1-welcome");
  {
    const PageLook look(page);
    ASSERT_TRUE(look.continueOn) << "the welcome page has no Continue";
    EXPECT_FALSE(look.back);
    EXPECT_FALSE(look.continueOff);
    EXPECT_TRUE(look.boxes.empty());
    click(*look.continueOn);
  }

  // The terms page: Back, the two boxes empty, Continue grey.
  page = waitForWindowPicture(
      [](const QImage& w) {
        const PageLook look(w);
        return look.back && look.continueOff && look.boxes.size() == 2;
      },
      "first-run-2-terms");
  {
    const PageLook look(page);
    ASSERT_TRUE(look.back) << "the terms page has no Back";
    ASSERT_TRUE(look.continueOff) << "Continue is not grey before the terms are accepted";
    EXPECT_FALSE(look.continueOn);
    ASSERT_EQ(look.boxes.size(), 2u);
    EXPECT_FALSE(look.boxes[0].ticked);
    EXPECT_FALSE(look.boxes[1].ticked);

    // The right arrow moves the privacy-policy carousel on to the next text.
    const auto arrow = boundsOfColor(page, kWhite, 30, Regions::rightArrow(), 50);
    ASSERT_TRUE(arrow.has_value()) << "no right arrow beside the privacy-policy texts";
    const QImage firstText = page.copy(Regions::carouselText());
    click(*arrow);
    QImage previousText;
    page = waitForWindowPicture(
        [&](const QImage& w) {
          // Moved on and come to rest: another text, alone in the middle, the same twice running.
          const QImage text = w.copy(Regions::carouselText());
          const bool atRest = text == previousText;
          previousText = text;
          return atRest && text != firstText && isCentredText(text);
        },
        "first-run-2-terms-next-text");
    EXPECT_NE(page.copy(Regions::carouselText()), firstText) << "the arrow did not move on";
    EXPECT_TRUE(isCentredText(page.copy(Regions::carouselText())));

    // Ticking the first box is not enough.
    click(look.boxes[0].bounds);
    page = waitForWindowPicture(
        [](const QImage& w) {
          const PageLook look(w);
          return look.boxes.size() == 2 && look.boxes[0].ticked;
        },
        "first-run-2-terms-one-ticked");
    const PageLook oneTicked(page);
    ASSERT_EQ(oneTicked.boxes.size(), 2u);
    EXPECT_TRUE(oneTicked.boxes[0].ticked);
    EXPECT_FALSE(oneTicked.boxes[1].ticked);
    EXPECT_TRUE(oneTicked.continueOff) << "Continue enabled with one box ticked";
    EXPECT_FALSE(oneTicked.continueOn);

    click(look.boxes[1].bounds);
  }
  page = waitForWindowPicture([](const QImage& w) { return PageLook(w).continueOn.has_value(); },
                              "first-run-2-terms-accepted");
  {
    const PageLook look(page);
    ASSERT_EQ(look.boxes.size(), 2u);
    EXPECT_TRUE(look.boxes[0].ticked);
    EXPECT_TRUE(look.boxes[1].ticked);
    ASSERT_TRUE(look.continueOn) << "Continue is not enabled with both boxes ticked";
    EXPECT_FALSE(look.continueOff);
    click(*look.continueOn);
  }

  // How it works: the logo, Back and Continue, nothing to press in between.
  page = waitForWindowPicture(
      [](const QImage& w) {
        const PageLook look(w);
        return look.back && look.continueOn && look.boxes.empty() && !look.centreButton;
      },
      "first-run-3-how-it-works");
  {
    const PageLook look(page);
    ASSERT_TRUE(look.back);
    ASSERT_TRUE(look.continueOn);
    EXPECT_TRUE(look.boxes.empty()) << "still on the terms page";
    EXPECT_FALSE(look.centreButton);
    // The logo's tile is the accent's lighter and darker shades, above the title.
    EXPECT_TRUE(hasLogo(page));

    // Back shows the terms page as it was left, both boxes still ticked.
    click(*look.back);
    page = waitForWindowPicture([](const QImage& w) { return PageLook(w).boxes.size() == 2; },
                                "first-run-3-back-to-terms");
    const PageLook terms(page);
    ASSERT_EQ(terms.boxes.size(), 2u) << "Back did not return to the terms page";
    EXPECT_TRUE(terms.boxes[0].ticked && terms.boxes[1].ticked) << "the ticks were lost";
    ASSERT_TRUE(terms.continueOn);
    click(*terms.continueOn);
  }
  page =
      waitForWindowPicture([](const QImage& w) { return PageLook(w).boxes.empty() && hasLogo(w); },
                           "first-run-3-how-it-works-again");
  {
    const PageLook look(page);
    ASSERT_TRUE(look.boxes.empty() && hasLogo(page)) << "Continue did not lead on again";
    ASSERT_TRUE(look.continueOn);
    click(*look.continueOn);
  }

  // The login page: a button in the middle that asks for the start at login.
  page = waitForWindowPicture(
      [](const QImage& w) {
        const PageLook look(w);
        return look.back && look.continueOn && look.centreButton;
      },
      "first-run-4-login");
  QRect loginButton;
  {
    const PageLook look(page);
    ASSERT_TRUE(look.back);
    ASSERT_TRUE(look.continueOn);
    ASSERT_TRUE(look.centreButton) << "the login page has no button to ask for the login item";
    loginButton = *look.centreButton;
    EXPECT_FALSE(fs::exists(autostartEntry())) << "registered before it was asked for";
    click(loginButton);
    // Pressing it says nothing on screen; the entry appears in the autostart folder.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline && !fs::exists(autostartEntry()))
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(autostartEntry())) << "the login item was not registered";
    click(*look.continueOn);
  }

  // The permission page: like the login page, with a shorter button of its own. The display
  // server lets any client record the screen, so Continue is enabled.
  page = waitForWindowPicture(
      [&](const QImage& w) {
        const PageLook look(w);
        return look.back && look.continueOn && look.centreButton &&
               look.centreButton->width() < loginButton.width();
      },
      "first-run-5-permission");
  {
    const PageLook look(page);
    ASSERT_TRUE(look.back);
    ASSERT_TRUE(look.continueOn) << "Continue is not enabled on the permission page";
    ASSERT_TRUE(look.centreButton);
    EXPECT_LT(look.centreButton->width(), loginButton.width()) << "still on the login page";
    click(*look.continueOn);
  }

  // The starting screen ends the tour and marks the first run as over.
  page = waitForWindowPicture(looksLikeStartingScreen, "first-run-6-starting-screen");
  ASSERT_TRUE(looksLikeStartingScreen(page)) << "the tour did not end on the starting screen";
  EXPECT_TRUE(waitForFirstRunOver()) << readFile(defaultsFile());
  // Both files go where XDG_CONFIG_HOME says, not into the home folder's own.
  EXPECT_FALSE(fs::exists(home_.path() / ".config" / "tovarine"));
  EXPECT_FALSE(fs::exists(home_.path() / ".config" / "autostart"));

  // The login item names this build of the application.
  const std::string entry = readFile(autostartEntry());
  EXPECT_NE(entry.find("Type=Application\n"), std::string::npos) << entry;
  const auto exec = execArguments(entry);
  ASSERT_TRUE(exec.has_value() && !exec->empty()) << entry;
  // The program itself is the last argument (what comes before it marks the start at login).
  EXPECT_EQ(exec->back(), fs::canonical(applicationBinary()).string()) << entry;
  EXPECT_TRUE(fs::path(exec->back()).is_absolute());
  EXPECT_EQ(checks_.load(), 1);

  // A second run with the same home goes straight to the starting screen.
  ASSERT_TRUE(app_->running()) << "the application ended during the first run";
  app_->stop();
  startApplication();
  const auto second = waitForWindow();
  ASSERT_TRUE(second.has_value()) << "no window on the second run";
  frame_ = *second;
  bool sawTour = false;
  page = waitForWindowPicture(
      [&](const QImage& w) {
        const PageLook look(w);
        sawTour = sawTour || look.continueOn || look.continueOff || look.back;
        return looksLikeStartingScreen(w);
      },
      "second-run-starting-screen");
  EXPECT_TRUE(looksLikeStartingScreen(page)) << "the second run did not reach the starting screen";
  EXPECT_FALSE(sawTour) << "the second run showed the tour again";
  EXPECT_EQ(checks_.load(), 2);
  EXPECT_TRUE(fs::exists(autostartEntry()));
  EXPECT_TRUE(app_->running());
}

}  // namespace app
