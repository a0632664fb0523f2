// The wlroots backend against a real sway on its headless backend.
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_environment.h"
#include "platform/display/display_guardian.h"
#include "platform/display/display_queries.h"
#include "platform/display/monitor_owners.h"
#include "platform/display/screen_capture_access.h"
#include "platform/display/support/frame_collector.h"
#include "platform/display/support/holding_child.h"
#include "platform/display/support/pattern_steps.h"
#include "platform/display/support/sway_session.h"
#include "platform/display/support/wayland_painter.h"
#include "platform/display/virtual_display.h"
#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/wlroots/wlroots_outputs.h"

extern char** environ;

namespace {

using platform::wlroots::OutputInfo;
using testing_display::FrameCollector;
using testing_display::pixelAt;
using testing_display::SwaySession;

constexpr const char* kHoldVariable = "TOVARINE_TEST_HOLD_SWAY_OUTPUT";

// Run as a child of the test (this program started again with the variable holding the
// compositor's IPC socket and Wayland socket, a line each): starts its guardian as the
// application does, makes an output, and waits to be killed.
[[maybe_unused]] const bool kHolding = [] {
  const char* sockets = std::getenv(kHoldVariable);
  if (!sockets) return false;
  const std::string both = sockets;
  const auto split = both.find('\n');
  platform::DisplayEnvironment environment;
  environment.backend = platform::VirtualDisplayBackendKind::wlrootsOutput;
  environment.compositorSocket = both.substr(0, split);
  environment.waylandDisplay = split == std::string::npos ? "" : both.substr(split + 1);
  platform::setDisplayEnvironment(environment);
  platform::startDisplayGuardian();
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setName("Held Tablet");
  platform::VirtualDisplaySettings settings;
  settings.setModes({platform::VirtualDisplayMode(1024, 768, 60)});
  static platform::VirtualDisplay display(descriptor);
  testing_display::holdUntilKilled(display.applySettings(settings));
}();

class WlrootsBackend : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SwaySession::available()) GTEST_SKIP() << "sway is not installed";
    auto session = SwaySession::start();
    ASSERT_TRUE(session.has_value()) << session.error();
    sway_ = std::move(*session);
    platform::DisplayEnvironment environment;
    environment.backend = platform::VirtualDisplayBackendKind::wlrootsOutput;
    environment.waylandDisplay = sway_->waylandDisplay();
    environment.compositorSocket = sway_->ipcSocket();
    platform::setDisplayEnvironment(environment);
    auto ipc = platform::wlroots::IpcClient::connect(sway_->ipcSocket());
    ASSERT_TRUE(ipc.has_value()) << ipc.error();
    ipc_ = std::move(*ipc);
  }

  void TearDown() override {
    stream_.reset();
    displays_.clear();
    platform::setDisplayEnvironment(std::nullopt);
    ipc_.reset();
    sway_.reset();
  }

  platform::VirtualDisplay& makeDisplay(std::uint32_t width, std::uint32_t height,
                                        bool hiDPI = false) {
    platform::VirtualDisplayDescriptor descriptor;
    descriptor.setName("Tovarine Tablet");
    platform::VirtualDisplaySettings settings;
    settings.setHiDPI(hiDPI);
    settings.setModes({platform::VirtualDisplayMode(width, height, 60)});
    displays_.push_back(std::make_unique<platform::VirtualDisplay>(descriptor));
    EXPECT_TRUE(displays_.back()->applySettings(settings)) << displays_.back()->failureReason();
    return *displays_.back();
  }

  std::vector<OutputInfo> outputs() {
    auto list = ipc_->outputs();
    EXPECT_TRUE(list.has_value()) << (list ? "" : list.error());
    return list ? *list : std::vector<OutputInfo>{};
  }

  std::optional<OutputInfo> output(const std::string& name) {
    for (const auto& info : outputs())
      if (info.name == name) return info;
    return std::nullopt;
  }

  // A window filling `outputName`, painted all `rgb`.
  std::unique_ptr<testing_display::WaylandPainter> paintedWindow(const std::string& outputName,
                                                                 std::uint32_t rgb) {
    EXPECT_TRUE(ipc_->command("focus output " + outputName).has_value());
    auto painter = testing_display::WaylandPainter::open(sway_->waylandDisplay());
    EXPECT_TRUE(painter.has_value()) << (painter ? "" : painter.error());
    if (!painter) return nullptr;
    EXPECT_TRUE((*painter)->fill(rgb));
    return std::move(*painter);
  }

  std::unique_ptr<SwaySession> sway_;
  std::unique_ptr<platform::wlroots::IpcClient> ipc_;
  std::vector<std::unique_ptr<platform::VirtualDisplay>> displays_;
  std::shared_ptr<platform::CaptureStream> stream_;
};

TEST_F(WlrootsBackend, DisplaysAppearRightOfTheOutputsAtTheirSize) {
  struct Case {
    std::uint32_t width, height;  // points
    bool hiDPI;
    const char* output;
    std::int32_t x;
  };
  // Made one after another, each right of those before it; the layout is in points.
  const Case cases[] = {
      {1024, 768, false, "HEADLESS-2", 1280},
      {800, 1280, false, "HEADLESS-3", 2304},
      {1366, 1024, true, "HEADLESS-4", 3104},
      {2732, 2048, false, "HEADLESS-5", 4470},
  };
  for (const Case& c : cases) {
    platform::VirtualDisplay& display = makeDisplay(c.width, c.height, c.hiDPI);
    ASSERT_NE(display.displayID(), platform::kNullDisplayID);
    const auto shown = output(c.output);
    ASSERT_TRUE(shown.has_value()) << c.output;
    EXPECT_EQ(*shown, (OutputInfo{c.output, true, c.x, 0, c.width, c.height}));
    const auto mode = platform::copyDisplayMode(display.displayID());
    ASSERT_TRUE(mode.has_value()) << c.output;
    const std::uint32_t scale = c.hiDPI ? 2 : 1;
    EXPECT_EQ(mode->pixelWidth, c.width * scale);
    EXPECT_EQ(mode->pixelHeight, c.height * scale);
    EXPECT_EQ(mode->width, c.width);
    EXPECT_EQ(platform::displayName(display.displayID()), "Tovarine Tablet");
  }
  auto listed = platform::getActiveDisplayList(16);
  ASSERT_TRUE(listed.has_value());
  for (const auto& display : displays_) {
    EXPECT_NE(std::find(listed->begin(), listed->end(), display->displayID()), listed->end());
  }
}

TEST_F(WlrootsBackend, FramesCarryWhatIsDrawnAndTheChangedRectangleThenStop) {
  platform::VirtualDisplay& display = makeDisplay(1024, 768);
  auto window = paintedWindow("HEADLESS-2", 0xff0000);
  ASSERT_TRUE(window);
  ASSERT_EQ(window->width(), 1024u);  // the window fills the output
  auto collector = std::make_shared<FrameCollector>();
  ASSERT_EQ(testing_display::startStream(stream_, display.displayID(), 1024, 768, collector),
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
      {0, 0, 1, 1, 0xffffff},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(window->paint(c.x, c.y, c.width, c.height, c.rgb));
    const auto frame = collector->waitForPixel(c.x, c.y, c.rgb);
    ASSERT_TRUE(frame) << "the rectangle at " << c.x << "," << c.y << " did not arrive";
    EXPECT_EQ(pixelAt(*frame->imageBuffer(), c.x + c.width - 1, c.y + c.height - 1), c.rgb);
    EXPECT_EQ(pixelAt(*frame->imageBuffer(), (c.x + c.width + 1) % 1024, 767), 0xff0000u);
    const auto damage = testing_display::damageOf(*frame);
    ASSERT_TRUE(damage.has_value());
    EXPECT_TRUE(damage->contains(
        {std::int64_t{c.x}, std::int64_t{c.y}, std::int64_t{c.width}, std::int64_t{c.height}}))
        << damage->x << "," << damage->y << " " << damage->width << "x" << damage->height;
    // The damage is the rectangle, give or take the compositor's rounding, not the output.
    EXPECT_LE(damage->width * damage->height, std::int64_t{c.width + 64} * (c.height + 64))
        << damage->width << "x" << damage->height;
  }

  // An idle output says so once and then delivers nothing.
  ASSERT_TRUE(platform::runMainUntil([&] { return collector->idleCount() >= 1; }, 5));
  const std::size_t frames = collector->completeCount();
  platform::runMainUntil([] { return false; }, 0.3);
  EXPECT_EQ(collector->completeCount(), frames);
  EXPECT_EQ(collector->error(), nullptr);

  // Released while captured: the output is parked, and the stream says its display is gone.
  window->paint(0, 0, 10, 10, 0x00ffff);  // something to copy, so the compositor answers
  displays_.clear();
  window->paint(0, 0, 10, 10, 0xff00ff);
  ASSERT_TRUE(platform::runMainUntil([&] { return collector->error() != nullptr; }, 5));
  EXPECT_NE(collector->error()->localizedDescription().find("no longer available"),
            std::string::npos)
      << collector->error()->localizedDescription();
}

// The compositor copies each frame into a buffer of ours that is handed on as it is: after every
// change the newest frame is the picture drawn, pixel for pixel, in whichever buffer it came.
TEST_F(WlrootsBackend, EveryFrameIsThePictureDrawnPixelForPixelAsBuffersAreReused) {
  platform::VirtualDisplay& display = makeDisplay(1024, 768);
  auto window = paintedWindow("HEADLESS-2", 0);
  ASSERT_TRUE(window);
  ASSERT_EQ(window->width(), 1024u);
  auto collector = std::make_shared<FrameCollector>();
  ASSERT_EQ(testing_display::startStream(stream_, display.displayID(), 1024, 768, collector),
            nullptr);
  testing_display::expectEveryStepCapturedAsDrawn(*window, *collector);
}

TEST_F(WlrootsBackend, ReleasedOutputsAreParkedAndReusedByTheNextDisplay) {
  makeDisplay(1024, 768);
  ASSERT_TRUE(output("HEADLESS-2").has_value());
  displays_.clear();  // released
  const auto parked = output("HEADLESS-2");
  ASSERT_TRUE(parked.has_value()) << "sway 1.7 cannot remove an output: it stays, parked";
  EXPECT_TRUE(platform::wlroots::isParked(*parked));
  EXPECT_EQ(platform::getActiveDisplayList(16)->size(), 0u);

  struct Case {
    std::uint32_t width, height;
  };
  for (const Case& c : {Case{800, 600}, Case{1280, 800}}) {
    makeDisplay(c.width, c.height);
    EXPECT_EQ(outputs().size(), 2u) << "no new output is made while one is parked";
    EXPECT_EQ(output("HEADLESS-2"), (OutputInfo{"HEADLESS-2", true, 1280, 0, c.width, c.height}));
    displays_.clear();
  }
}

// Killed outright, the owner cannot give its output back; its guardian parks it at once, so
// the layout is the real outputs' again.
TEST_F(WlrootsBackend, AKilledOwnersGuardianGivesItsOutputBackWithinASecond) {
  const pid_t child = testing_display::startHoldingChild(
      kHoldVariable, sway_->ipcSocket() + "\n" + sway_->waylandDisplay());
  ASSERT_GT(child, 0);
  ASSERT_EQ(output("HEADLESS-2"), (OutputInfo{"HEADLESS-2", true, 1280, 0, 1024, 768}));

  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(platform::runMainUntil(
      [&] {
        const auto shown = output("HEADLESS-2");
        return !shown || !shown->active || platform::wlroots::isParked(*shown);
      },
      1.0))
      << "the output outlived its killed owner";
}

TEST_F(WlrootsBackend, TheOutputsOfADeadProcessAreTakenBackAtTheNextStart) {
  // A process that made an output and then died without giving it back.
  pid_t child = -1;
  char truePath[] = "/bin/true";
  char* argv[] = {truePath, nullptr};
  ASSERT_EQ(posix_spawn(&child, truePath, nullptr, nullptr, argv, environ), 0);
  const auto childStart = platform::processStartTime(child);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(ipc_->command("create_output").has_value());
  ASSERT_TRUE(ipc_->command("output HEADLESS-2 mode 1024x768 position 1280 0").has_value());
  platform::MonitorOwnerRecord dead{0, child, childStart.value_or(1), platform::currentBootID(),
                                    0, 0};
  // And one of a live process (this one), which stays as it is.
  ASSERT_TRUE(ipc_->command("create_output").has_value());
  ASSERT_TRUE(ipc_->command("output HEADLESS-3 mode 640x480 position 2304 0").has_value());
  {
    std::ofstream file(platform::wlroots::ownedOutputsPath(sway_->ipcSocket()));
    file << platform::wlroots::formatOwnedOutputs(
        {{"HEADLESS-2", dead}, {"HEADLESS-3", platform::ownMonitorRecord(0, 0, 0)}});
  }

  platform::reclaimAbandonedVirtualDisplays();
  EXPECT_TRUE(platform::wlroots::isParked(*output("HEADLESS-2")));
  EXPECT_EQ(output("HEADLESS-3"), (OutputInfo{"HEADLESS-3", true, 2304, 0, 640, 480}));

  // The next display takes the reclaimed output.
  makeDisplay(1024, 768);
  EXPECT_EQ(outputs().size(), 3u);
  EXPECT_EQ(output("HEADLESS-2"), (OutputInfo{"HEADLESS-2", true, 2304 + 640, 0, 1024, 768}));
}

struct View {
  std::string output;  // the output it is laid out on
  bool visible = false;
  std::int64_t x = 0, y = 0, width = 0, height = 0;  // in the layout
};

// Every window in the compositor's tree, with the output it is on.
std::vector<View> views(platform::wlroots::IpcClient& ipc) {
  std::vector<View> found;
  auto tree = ipc.request(platform::wlroots::IpcType::getTree, "");
  EXPECT_TRUE(tree.has_value()) << (tree ? "" : tree.error());
  if (!tree) return found;
  std::function<void(const nlohmann::json&, const std::string&)> walk =
      [&](const nlohmann::json& node, const std::string& output) {
        const std::string here =
            node.value("type", "") == "output" ? node.value("name", "") : output;
        if (node.contains("pid") && node.value("type", "") != "workspace") {
          const auto& rect = node["rect"];
          found.push_back({here, node.value("visible", false), rect.value("x", 0),
                           rect.value("y", 0), rect.value("width", 0), rect.value("height", 0)});
        }
        for (const char* children : {"nodes", "floating_nodes"}) {
          if (node.contains(children) && node[children].is_array()) {
            for (const auto& child : node[children])
              walk(child, here);
          }
        }
      };
  walk(*tree, "");
  return found;
}

std::string focusedOutput(platform::wlroots::IpcClient& ipc) {
  auto workspaces = ipc.workspaces();
  if (workspaces) {
    for (const auto& workspace : *workspaces)
      if (workspace.focused) return workspace.output;
  }
  return {};
}

TEST_F(WlrootsBackend, AGivenBackOutputsWindowsAndFocusComeToTheRealOutput) {
  struct Row {
    const char* name;
    bool ownerDied;  // else the display is released
  };
  for (const Row row : {Row{"released", false}, Row{"its process died", true}}) {
    SCOPED_TRACE(row.name);
    std::string tablet;
    if (row.ownerDied) {
      // What a process that died with its display left: an output of ours, shown.
      pid_t child = -1;
      char truePath[] = "/bin/true";
      char* argv[] = {truePath, nullptr};
      ASSERT_EQ(posix_spawn(&child, truePath, nullptr, nullptr, argv, environ), 0);
      const auto childStart = platform::processStartTime(child);
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      const auto before = outputs();
      ASSERT_TRUE(ipc_->command("create_output").has_value());
      for (const auto& info : outputs()) {
        if (std::none_of(before.begin(), before.end(),
                         [&](const OutputInfo& old) { return old.name == info.name; })) {
          tablet = info.name;
        }
      }
      ASSERT_FALSE(tablet.empty());
      ASSERT_TRUE(ipc_->command("output " + tablet + " mode 1024x768 position 1280 0").has_value());
      platform::MonitorOwnerRecord dead{0, child, childStart.value_or(1), platform::currentBootID(),
                                        0, 0};
      std::ofstream file(platform::wlroots::ownedOutputsPath(sway_->ipcSocket()));
      // The first row's output stays parked, free for the next display.
      file << platform::wlroots::formatOwnedOutputs({{"HEADLESS-2", {}}, {tablet, dead}});
    } else {
      makeDisplay(1024, 768);
      tablet = "HEADLESS-2";
    }
    // The user works on the tablet: a window there, one floating near its far corner, and the
    // focus.
    auto onTablet = paintedWindow(tablet, 0x3366cc);
    ASSERT_TRUE(onTablet);
    auto floating = paintedWindow(tablet, 0xcc6633);
    ASSERT_TRUE(floating);
    ASSERT_TRUE(ipc_->command("floating enable, resize set 500 400, move position 500 350"));
    ASSERT_EQ(views(*ipc_).size(), 2u);
    for (const View& view : views(*ipc_))
      ASSERT_EQ(view.output, tablet);

    if (row.ownerDied) {
      platform::reclaimAbandonedVirtualDisplays();
    } else {
      displays_.clear();
    }
    ASSERT_TRUE(platform::wlroots::isParked(*output(tablet)));
    // The layout is the real output's alone, and every window is wholly on it.
    auto tree = ipc_->request(platform::wlroots::IpcType::getTree, "");
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ((*tree)["rect"].value("width", 0), 1280);
    EXPECT_EQ((*tree)["rect"].value("height", 0), 720);
    for (const View& view : views(*ipc_)) {
      EXPECT_EQ(view.output, "HEADLESS-1");
      EXPECT_TRUE(view.visible);
      EXPECT_TRUE(view.x >= 0 && view.y >= 0 && view.x + view.width <= 1280 &&
                  view.y + view.height <= 720)
          << view.x << "," << view.y << " " << view.width << "x" << view.height;
    }
    EXPECT_EQ(focusedOutput(*ipc_), "HEADLESS-1");

    // A new window opens where the user can see it.
    auto fresh = testing_display::WaylandPainter::open(sway_->waylandDisplay());
    ASSERT_TRUE(fresh.has_value()) << fresh.error();
    ASSERT_TRUE((*fresh)->fill(0x33cc66));  // shown: drawn once
    const auto now = views(*ipc_);
    EXPECT_EQ(now.size(), 3u);
    for (const View& view : now) {
      EXPECT_EQ(view.output, "HEADLESS-1");
      EXPECT_TRUE(view.visible);
    }
  }
}

TEST_F(WlrootsBackend, RefusalsSayWhy) {
  EXPECT_TRUE(platform::preflightScreenCaptureAccess());
  // A compositor that is gone.
  platform::DisplayEnvironment environment = platform::currentDisplayEnvironment();
  environment.compositorSocket = sway_->runtimeDir() + "/no-such.sock";
  platform::setDisplayEnvironment(environment);
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setName("Tablet");
  platform::VirtualDisplaySettings settings;
  settings.setModes({platform::VirtualDisplayMode(1024, 768, 60)});
  platform::VirtualDisplay display(descriptor);
  EXPECT_FALSE(display.applySettings(settings));
  EXPECT_NE(display.failureReason().find("Cannot reach the compositor"), std::string::npos)
      << display.failureReason();
  EXPECT_EQ(outputs().size(), 1u);
  EXPECT_FALSE(platform::preflightScreenCaptureAccess());
}

}  // namespace
