#include "app/support/app_test_support.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <thread>

#include "app/shell/qt_main_queue_driver.h"
#include "app/style/qt_style.h"
#include "platform/dispatch/main_queue.h"
#include "platform/foundation/user_defaults.h"

namespace app::test {
namespace fs = std::filesystem;

TemporaryFolder::TemporaryFolder() {
  std::random_device random;
  path_ = fs::temp_directory_path() /
          ("tovarine-app-test-" + std::to_string(random()) + "-" + std::to_string(random()));
  fs::create_directories(path_);
}

TemporaryFolder::~TemporaryFolder() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

fs::path TemporaryFolder::write(const fs::path& relative, const std::string& text) const {
  const fs::path file = path_ / relative;
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << text;
  return file;
}

ScopedTestBundle::ScopedTestBundle(const std::string& info,
                                   const std::map<std::string, std::string>& tables) {
  if (!info.empty()) folder_.write("Info.json", info);
  for (const auto& [language, text] : tables) {
    folder_.write(language + ".lproj/Localizable.strings", text);
  }
  bundle_ = Bundle::atPath(folder_.path());
  Bundle::setMain(bundle_);
}

ScopedTestBundle::~ScopedTestBundle() {
  Bundle::setMain(nullptr);
}

std::string infoJSON(std::optional<std::string> displayName,
                     std::optional<std::string> shortVersion,
                     std::optional<std::string> buildVersion) {
  std::string text = "{";
  auto add = [&](const char* key, const std::optional<std::string>& value) {
    if (!value) return;
    if (text.size() > 1) text += ",";
    text += std::string("\"") + key + "\":\"" + *value + "\"";
  };
  add("CFBundleDisplayName", displayName);
  add("CFBundleShortVersionString", shortVersion);
  add("CFBundleVersion", buildVersion);
  return text + "}";
}

ScopedBuildBundle::ScopedBuildBundle() {
  Bundle::setMain(Bundle::atPath(app::test::buildResourcesPath()));
}
ScopedBuildBundle::~ScopedBuildBundle() {
  Bundle::setMain(nullptr);
}

ScopedUserDefaults::ScopedUserDefaults() {
  platform::UserDefaults::setStandardDirectory(folder_.path());
}
ScopedUserDefaults::~ScopedUserDefaults() {
  platform::UserDefaults::setStandardDirectory(std::nullopt);
}

namespace {

// One QApplication for the whole test program, made before the first test and gone after the
// last, with the main queue on its event loop.
class QtEnvironment : public testing::Environment {
 public:
  void SetUp() override { qtApplication(); }
  void TearDown() override {
    QtMainQueueDriver::uninstall();
    delete app_;
    app_ = nullptr;
  }
  static QApplication* app_;
};
QApplication* QtEnvironment::app_ = nullptr;

[[maybe_unused]] testing::Environment* const qtEnvironment =
    testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

QApplication& qtApplication() {
  if (!QtEnvironment::app_) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "tovarine-app-tests";
    static char* argv[] = {name, nullptr};
    QtEnvironment::app_ = new QApplication(argc, argv);
    QtMainQueueDriver::install();
    applyApplicationStyle();
  }
  return *QtEnvironment::app_;
}

void processQtEvents() {
  for (int i = 0; i < 5; ++i) {
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    platform::drainMainQueue();
  }
}

bool runUntil(const std::function<bool()>& predicate, double timeoutSeconds) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    platform::runMainUntil(predicate, 0.01);
  }
  return true;
}

QImage render(QWidget& widget) {
  processQtEvents();
  QImage image(widget.size(), QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  widget.render(&image);
  return image;
}

fs::path saveScreenshot(const QImage& image, const std::string& name) {
  fs::path folder = fs::temp_directory_path() / "tovarine-app-screens";
  if (const char* out = std::getenv("TOVARINE_TEST_OUTPUT"); out && *out) folder = out;
  fs::create_directories(folder);
  const fs::path file = folder / (name + ".png");
  image.save(QString::fromStdString(file.string()));
  return file;
}

bool hasRunOfColor(const QImage& image, QRgb color, int length) {
  for (int y = 0; y < image.height(); ++y) {
    int run = 0;
    for (int x = 0; x < image.width(); ++x) {
      run = (image.pixel(x, y) & 0xFFFFFF) == (color & 0xFFFFFF) ? run + 1 : 0;
      if (run >= length) return true;
    }
  }
  return false;
}

int countPixels(const QImage& image, QRgb color, int tolerance, QRect area) {
  area = area.intersected(image.rect());
  int count = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb p = image.pixel(x, y);
      if (std::abs(qRed(p) - qRed(color)) <= tolerance &&
          std::abs(qGreen(p) - qGreen(color)) <= tolerance &&
          std::abs(qBlue(p) - qBlue(color)) <= tolerance) {
        ++count;
      }
    }
  }
  return count;
}

VersioningPtr updateOffer(bool mandatory) {
  auto v = std::make_shared<Versioning>();
  v->name = "Tovarine";
  v->releaseVersion = 9;
  v->buildVersion = 9;
  v->isMandatory = mandatory;
  return v;
}

}  // namespace app::test
