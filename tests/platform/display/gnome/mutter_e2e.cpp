// The GNOME backend against a real mutter, headless, on a private session bus with PipeWire.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <tuple>

#include "platform/display/display_environment.h"
#include "platform/display/display_queries.h"
#include "platform/display/screen_capture_access.h"
#include "platform/display/support/frame_collector.h"
#include "platform/display/support/gnome_session.h"
#include "platform/display/support/holding_child.h"
#include "platform/display/support/pattern_steps.h"
#include "platform/display/support/wayland_painter.h"
#include "platform/display/virtual_display.h"

namespace {

using testing_display::FrameCollector;
using testing_display::GnomeSession;
using testing_display::pixelAt;

using Sizes = std::vector<std::pair<int, int>>;

constexpr const char* kHoldVariable = "TOVARINE_TEST_HOLD_GNOME_MONITOR";

platform::DisplayEnvironment gnomeEnvironment() {
  platform::DisplayEnvironment environment;
  environment.backend = platform::VirtualDisplayBackendKind::gnomeVirtualMonitor;
  return environment;
}

std::unique_ptr<platform::VirtualDisplay> makeDisplay(std::uint32_t width, std::uint32_t height) {
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setName("Tovarine Tablet");
  platform::VirtualDisplaySettings settings;
  settings.setModes({platform::VirtualDisplayMode(width, height, 60)});
  auto display = std::make_unique<platform::VirtualDisplay>(descriptor);
  EXPECT_TRUE(display->applySettings(settings)) << display->failureReason();
  return display;
}

// Run as a child of the test (this program started again with the variable set): makes a
// monitor, says so on its output, and waits to be killed.
[[maybe_unused]] const bool kHolding = [] {
  const char* size = std::getenv(kHoldVariable);
  if (!size) return false;
  platform::setDisplayEnvironment(gnomeEnvironment());
  auto display = makeDisplay(800, 600);
  testing_display::holdUntilKilled(display->displayID() != platform::kNullDisplayID);
}();

class GnomeBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    if (auto missing = GnomeSession::missingProgram(); !missing.empty()) {
      GTEST_SKIP() << missing << " is not installed";
    }
    auto session = GnomeSession::start();
    ASSERT_TRUE(session.has_value()) << session.error();
    gnome_ = std::move(*session);
    // The display layer finds the bus and PipeWire as the desktop's programs do.
    setenv("DBUS_SESSION_BUS_ADDRESS", gnome_->busAddress().c_str(), 1);
    setenv("PIPEWIRE_RUNTIME_DIR", gnome_->runtimeDir().c_str(), 1);
    platform::setDisplayEnvironment(gnomeEnvironment());
  }

  void TearDown() override {
    stream_.reset();
    display_.reset();
    platform::setDisplayEnvironment(std::nullopt);
    gnome_.reset();
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("PIPEWIRE_RUNTIME_DIR");
  }

  Sizes monitors() {
    auto sizes = gnome_->monitorSizes();
    EXPECT_TRUE(sizes.has_value()) << (sizes ? "" : sizes.error());
    return sizes ? *sizes : Sizes{};
  }

  bool waitForMonitors(const Sizes& expected, double seconds = 5) {
    return platform::runMainUntil([&] { return monitors() == expected; }, seconds);
  }

  std::unique_ptr<GnomeSession> gnome_;
  std::unique_ptr<platform::VirtualDisplay> display_;
  std::shared_ptr<platform::CaptureStream> stream_;
};

TEST_F(GnomeBackend, AVirtualMonitorOfTheRequestedSizeIsListedUntilReleased) {
  ASSERT_TRUE(platform::preflightScreenCaptureAccess());
  struct Case {
    std::uint32_t width, height;
  };
  for (const Case& c : {Case{1024, 768}, Case{800, 1280}}) {
    const Sizes before = monitors();
    display_ = makeDisplay(c.width, c.height);
    ASSERT_NE(display_->displayID(), platform::kNullDisplayID);
    Sizes expected = before;
    expected.emplace_back(int(c.width), int(c.height));
    EXPECT_TRUE(waitForMonitors(expected)) << c.width << "x" << c.height;
    const auto mode = platform::copyDisplayMode(display_->displayID());
    ASSERT_TRUE(mode.has_value());
    EXPECT_EQ(mode->pixelWidth, c.width);
    EXPECT_EQ(platform::displayName(display_->displayID()), "Tovarine Tablet");
    display_.reset();  // Stop removes it
    EXPECT_TRUE(waitForMonitors(before)) << c.width << "x" << c.height;
  }
}

TEST_F(GnomeBackend, FramesArriveAtTheSizeWithWhatIsDrawnAndNotWhenNothingChanged) {
  display_ = makeDisplay(1024, 768);
  ASSERT_NE(display_->displayID(), platform::kNullDisplayID);
  auto window = testing_display::WaylandPainter::open(gnome_->waylandDisplay(), true);
  ASSERT_TRUE(window.has_value()) << window.error();
  ASSERT_TRUE((*window)->fill(0xff0000));
  auto collector = std::make_shared<FrameCollector>();
  ASSERT_EQ(testing_display::startStream(stream_, display_->displayID(), 1024, 768, collector),
            nullptr);
  const auto first = collector->waitForPixel(512, 384, 0xff0000);
  ASSERT_TRUE(first) << "no red frame arrived";
  EXPECT_EQ(first->imageBuffer()->width(), 1024u);
  EXPECT_EQ(first->imageBuffer()->height(), 768u);

  struct Case {
    std::uint32_t x, y, width, height, rgb;
  };
  const Case cases[] = {
      {100, 100, 200, 150, 0x0000ff},
      {900, 600, 60, 40, 0x00ff00},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE((*window)->paint(c.x, c.y, c.width, c.height, c.rgb));
    const auto frame = collector->waitForPixel(c.x + 1, c.y + 1, c.rgb);
    ASSERT_TRUE(frame) << "the rectangle at " << c.x << "," << c.y << " did not arrive";
    EXPECT_EQ(pixelAt(*frame->imageBuffer(), 1000, 10), 0xff0000u);
    const auto damage = testing_display::damageOf(*frame);
    ASSERT_TRUE(damage.has_value());
    EXPECT_TRUE(damage->contains({c.x, c.y, c.width, c.height}));
    EXPECT_LT(damage->width * damage->height, 1024 * 768 / 4);
  }

  // Nothing changes: an idle sample, and then no frame.
  ASSERT_TRUE(platform::runMainUntil([&] { return collector->idleCount() >= 1; }, 5));
  const std::size_t frames = collector->completeCount();
  platform::runMainUntil([] { return false; }, 0.5);
  EXPECT_EQ(collector->completeCount(), frames);
  EXPECT_EQ(collector->error(), nullptr);

  // A stream still capturing does not keep a released display's monitor: it ends, and says so.
  display_.reset();
  EXPECT_TRUE(waitForMonitors({}));
  EXPECT_TRUE(platform::runMainUntil([&] { return collector->error() != nullptr; }, 5));
}

// Each frame is copied from the compositor's buffer into one that held an earlier frame, only
// the rows that one lacks: after every change the newest frame is the picture drawn, pixel for
// pixel, however long ago its buffer was last filled.
TEST_F(GnomeBackend, EveryFrameIsThePictureDrawnPixelForPixelAsBuffersAreReused) {
  display_ = makeDisplay(1024, 768);
  ASSERT_NE(display_->displayID(), platform::kNullDisplayID);
  auto window = testing_display::WaylandPainter::open(gnome_->waylandDisplay(), true);
  ASSERT_TRUE(window.has_value()) << window.error();
  ASSERT_TRUE((*window)->fill(0));
  ASSERT_EQ((*window)->width(), 1024u);
  auto collector = std::make_shared<FrameCollector>();
  ASSERT_EQ(testing_display::startStream(stream_, display_->displayID(), 1024, 768, collector),
            nullptr);
  testing_display::expectEveryStepCapturedAsDrawn(**window, *collector);
}

TEST_F(GnomeBackend, AKilledClientsMonitorIsRemoved) {
  const Sizes before = monitors();
  const pid_t child = testing_display::startHoldingChild(kHoldVariable, "1");
  ASSERT_GT(child, 0) << "the child made no monitor in time";
  Sizes with = before;
  with.emplace_back(800, 600);
  EXPECT_TRUE(waitForMonitors(with));

  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(waitForMonitors(before, 2)) << "the monitor outlived its client";
}

// The compositor's remote-desktop pointer, as a remote-control program would drive it: a session
// on the test's own bus connection (the session ends with it).
class RemotePointer {
 public:
  explicit RemotePointer(const std::string& busAddress) {
    if (sd_bus_new(&bus_) < 0) return;
    sd_bus_set_address(bus_, busAddress.c_str());
    sd_bus_set_bus_client(bus_, 1);
    if (sd_bus_start(bus_) < 0) return;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    if (sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop",
                           "/org/gnome/Mutter/RemoteDesktop", "org.gnome.Mutter.RemoteDesktop",
                           "CreateSession", &error, &reply, "") >= 0) {
      const char* path = nullptr;
      if (sd_bus_message_read(reply, "o", &path) >= 0 && path) session_ = path;
    }
    sd_bus_message_unref(reply);
    sd_bus_error_free(&error);
    if (!session_.empty()) started_ = call("Start", "");
  }
  ~RemotePointer() {
    if (started_) call("Stop", "");
    sd_bus_flush_close_unref(bus_);
  }
  bool started() const { return started_; }
  // Relative moves, as a mouse makes them; the pointer stops at the layout's edges.
  bool move(double dx, double dy) { return call("NotifyPointerMotionRelative", "dd", dx, dy); }

 private:
  template <class... Arguments>
  bool call(const char* method, const char* signature, Arguments... arguments) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int result = sd_bus_call_method(bus_, "org.gnome.Mutter.RemoteDesktop", session_.c_str(),
                                          "org.gnome.Mutter.RemoteDesktop.Session", method, &error,
                                          nullptr, signature, arguments...);
    if (result < 0) ADD_FAILURE() << method << ": " << (error.message ? error.message : "");
    sd_bus_error_free(&error);
    return result >= 0;
  }

  sd_bus* bus_ = nullptr;
  std::string session_;
  bool started_ = false;
};

// The virtual monitor is the layout's only one. The pointer is in the frames where it is, a move
// alone brings a frame, and one move later the previous place keeps no trace.
TEST_F(GnomeBackend, ThePointerIsEmbeddedInTheFramesAndItsMovesAloneBringFrames) {
  display_ = makeDisplay(1024, 768);
  ASSERT_NE(display_->displayID(), platform::kNullDisplayID);
  RemotePointer pointer(gnome_->busAddress());
  ASSERT_TRUE(pointer.started());
  ASSERT_TRUE(pointer.move(-5000, -5000));  // into the top left corner
  auto collector = std::make_shared<FrameCollector>();
  ASSERT_EQ(testing_display::startStream(stream_, display_->displayID(), 1024, 768, collector),
            nullptr);
  // No window: the pointer is over the desktop's own background (a gradient), which shows the
  // theme's pointer (a window whose client sets none would hide it). The first frame, with the
  // pointer in the corner, is the reference the pointer's pixels differ from.
  ASSERT_TRUE(platform::runMainUntil([&] { return collector->completeCount() > 0; }, 10));
  std::vector<std::uint32_t> reference;
  {
    const auto first = collector->newest()->imageBuffer();
    for (std::uint32_t y = 0; y < 768; ++y)
      for (std::uint32_t x = 0; x < 1024; ++x)
        reference.push_back(pixelAt(*first, x, y));
  }
  struct Box {
    std::uint32_t minX = ~0u, minY = ~0u, maxX = 0, maxY = 0, count = 0;
  };
  // Where the frame differs from the reference, leaving out the corner the pointer started in.
  const auto drawn = [&](const platform::PixelBuffer& frame) {
    Box box;
    for (std::uint32_t y = 0; y < 768; ++y) {
      for (std::uint32_t x = 0; x < 1024; ++x) {
        if ((x < 48 && y < 48) || pixelAt(frame, x, y) == reference[y * 1024 + x]) continue;
        box.minX = std::min(box.minX, x);
        box.minY = std::min(box.minY, y);
        box.maxX = std::max(box.maxX, x);
        box.maxY = std::max(box.maxY, y);
        ++box.count;
      }
    }
    return box;
  };
  struct Step {
    const char* name;
    double dx, dy;
    std::int32_t x, y;  // where the pointer then is
  };
  const Step steps[] = {
      {"moved into the monitor", 300, 200, 300, 200},
      {"moved on", 400, 300, 700, 500},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    const std::size_t before = collector->completeCount();
    ASSERT_TRUE(pointer.move(step.dx, step.dy));
    ASSERT_TRUE(platform::runMainUntil([&] { return collector->completeCount() > before; }, 5))
        << "no frame for the pointer alone";
    // The pointer's image starts at its hot spot, give or take a few pixels, spans a few dozen,
    // and nothing of it stays at its previous place.
    Box box;
    ASSERT_TRUE(platform::runMainUntil(
        [&] {
          box = drawn(*collector->newest()->imageBuffer());
          return box.count > 0 && std::abs(std::int32_t(box.minX) - step.x) <= 8 &&
                 std::abs(std::int32_t(box.minY) - step.y) <= 8 && box.maxX - box.minX < 64 &&
                 box.maxY - box.minY < 64;
        },
        5))
        << "the newest frame differs at " << box.minX << "," << box.minY << " to " << box.maxX
        << "," << box.maxY << " (" << box.count << " pixels)";
  }
}

}  // namespace
