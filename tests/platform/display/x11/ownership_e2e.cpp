// Virtual displays that must not outlive their process, and the X server's resources they use.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "platform/dispatch/main_queue.h"
#include "platform/display/display_guardian.h"
#include "platform/display/monitor_owners.h"
#include "platform/display/support/holding_child.h"
#include "platform/display/support/x_test_server.h"
#include "platform/display/virtual_display.h"
#include "platform/display/x11/x11_backend.h"
#include "platform/display/x11/x_connection.h"

namespace {

using platform::MonitorOwnerRecord;
using platform::VirtualDisplayBackendKind;
using testing_display::kBaseHeight;
using testing_display::kBaseWidth;

std::unique_ptr<platform::VirtualDisplay> makeDisplay(const std::string& name, std::uint32_t width,
                                                      std::uint32_t height) {
  platform::VirtualDisplayDescriptor descriptor;
  descriptor.setName(name);
  platform::VirtualDisplaySettings settings;
  settings.setModes({platform::VirtualDisplayMode(width, height, 60)});
  auto display = std::make_unique<platform::VirtualDisplay>(descriptor);
  if (!display->applySettings(settings)) return nullptr;
  return display;
}

pid_t endedProcess() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return pid;
}

constexpr const char* kHoldVariable = "TOVARINE_TEST_HOLD_X_MONITOR";

// Run as a child of the test (this program started again with the variable naming the X
// display): starts its guardian as the application does, makes a monitor, and waits to be
// killed.
[[maybe_unused]] const bool kHolding = [] {
  const char* xDisplay = std::getenv(kHoldVariable);
  if (!xDisplay) return false;
  platform::DisplayEnvironment environment;
  environment.xDisplay = xDisplay;
  environment.backend = VirtualDisplayBackendKind::randrMonitor;
  platform::setDisplayEnvironment(environment);
  platform::startDisplayGuardian();
  static auto display = makeDisplay("Held Tablet", 640, 480);
  testing_display::holdUntilKilled(display != nullptr);
}();

class OwnershipTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing_display::TestXServer::available()) GTEST_SKIP() << "Xvfb is not installed";
    server_.start(VirtualDisplayBackendKind::randrMonitor);
  }

  std::vector<MonitorOwnerRecord> owners() {
    auto atom = server_.x().internAtom(platform::kMonitorOwnersProperty);
    return platform::parseMonitorOwners(
        server_.x().rootTextProperty(*atom, 1 << 16).value_or(std::string()));
  }
  void setOwners(const std::vector<MonitorOwnerRecord>& records) {
    auto atom = server_.x().internAtom(platform::kMonitorOwnersProperty);
    ASSERT_TRUE(server_.x().setRootTextProperty(*atom, platform::formatMonitorOwners(records)));
  }
  // A monitor as another process of ours would have left it, on a screen grown to hold it.
  std::uint32_t addMonitorOf(const std::string& name, std::int16_t x, std::uint16_t width) {
    EXPECT_TRUE(server_.addMonitor(name, x, 0, width, 600, 0, 0));
    auto size = *server_.x().currentScreenSize();
    size.width = std::max<std::uint16_t>(size.width, static_cast<std::uint16_t>(x + width));
    EXPECT_TRUE(server_.x().setScreenSize(size));
    return *server_.x().internAtom(name);
  }

  testing_display::TestXServer server_;
};

// Killed outright, the owner cannot give its monitor back; its guardian does, at once.
TEST_F(OwnershipTest, AKilledOwnersGuardianRemovesItsMonitorWithinASecond) {
  const auto before = server_.screenSize();
  const pid_t child = testing_display::startHoldingChild(kHoldVariable, server_.displayName());
  ASSERT_GT(child, 0);
  ASSERT_EQ(server_.monitors().size(), 2u);
  EXPECT_EQ(server_.screenSize().first, kBaseWidth + 640);

  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(platform::runMainUntil([&] { return server_.monitors().size() == 1; }, 1.0))
      << "the monitor outlived its killed owner";
  EXPECT_TRUE(platform::runMainUntil([&] { return server_.screenSize() == before; }, 1.0));
  EXPECT_TRUE(owners().empty());
}

TEST_F(OwnershipTest, AMonitorIsMarkedWithItsOwnerWhileItLives) {
  auto display = makeDisplay("Tovarine Marked", 640, 480);
  ASSERT_TRUE(display);
  const auto records = owners();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0], platform::ownMonitorRecord(display->displayID(), kBaseWidth, kBaseHeight));
  display.reset();
  EXPECT_TRUE(owners().empty());
}

TEST_F(OwnershipTest, AStartRemovesOnlyTheMonitorsOfEndedOwnersAndShrinksTheScreen) {
  // Left to right: a live owner's, another machine's, and a dead owner's monitor.
  const std::uint32_t alive = addMonitorOf("Tovarine Alive", kBaseWidth, 300);
  const std::uint32_t foreign = addMonitorOf("Tovarine Foreign", kBaseWidth + 300, 300);
  const std::uint32_t dead = addMonitorOf("Tovarine Dead", kBaseWidth + 600, 500);
  MonitorOwnerRecord foreignRecord = platform::ownMonitorRecord(foreign, kBaseWidth, kBaseHeight);
  foreignRecord.bootID = "0123-4567";
  MonitorOwnerRecord deadRecord = platform::ownMonitorRecord(dead, kBaseWidth, kBaseHeight);
  deadRecord.pid = endedProcess();
  const MonitorOwnerRecord aliveRecord = platform::ownMonitorRecord(alive, kBaseWidth, kBaseHeight);
  setOwners({aliveRecord, foreignRecord, deadRecord});
  ASSERT_EQ(server_.monitors().size(), 4u);

  auto removed = platform::reclaimAbandonedMonitors(server_.displayName());
  ASSERT_TRUE(removed) << removed.error();
  EXPECT_EQ(*removed, 1);
  EXPECT_FALSE(server_.monitorNamed("Tovarine Dead"));
  EXPECT_TRUE(server_.monitorNamed("Tovarine Alive"));
  EXPECT_TRUE(server_.monitorNamed("Tovarine Foreign"));
  EXPECT_EQ(server_.screenSize(), std::make_pair(std::uint16_t(kBaseWidth + 600), kBaseHeight));
  EXPECT_EQ(owners(), (std::vector<MonitorOwnerRecord>{aliveRecord, foreignRecord}));

  // Nothing more to do the next time.
  removed = platform::reclaimAbandonedMonitors(server_.displayName());
  ASSERT_TRUE(removed);
  EXPECT_EQ(*removed, 0);
}

TEST_F(OwnershipTest, TheScreenReturnsToItsSizeBeforeADeadOwnersFirstMonitor) {
  const std::uint32_t dead = addMonitorOf("Tovarine Left Behind", kBaseWidth, 1024);
  MonitorOwnerRecord record = platform::ownMonitorRecord(dead, kBaseWidth, kBaseHeight);
  record.pid = endedProcess();
  setOwners({record});
  platform::reclaimAbandonedVirtualDisplays();  // through the display environment
  EXPECT_EQ(server_.monitors().size(), 1u);
  EXPECT_EQ(server_.screenSize(), std::make_pair(kBaseWidth, kBaseHeight));
  EXPECT_TRUE(owners().empty());
}

TEST_F(OwnershipTest, NewMonitorNamesUseABoundedSetOfAtoms) {
  const std::string prefix = "Tovarine Device " + std::to_string(::getpid()) + "-";
  std::set<platform::DisplayID> ids;
  constexpr std::size_t kNames = platform::kMaxMonitorNameAtoms + 8;
  for (std::size_t i = 0; i < kNames; ++i) {
    auto display = makeDisplay(prefix + std::to_string(i), 320, 240);
    ASSERT_TRUE(display) << i;
    const std::string name = server_.x().atomName(display->displayID());
    EXPECT_EQ(name, i < platform::kMaxMonitorNameAtoms ? prefix + std::to_string(i)
                                                       : platform::kFallbackMonitorName)
        << i;
    ids.insert(display->displayID());
  }
  EXPECT_EQ(ids.size(), platform::kMaxMonitorNameAtoms + 1);
  // A name that has its atom already still gets it.
  auto again = makeDisplay(prefix + "0", 320, 240);
  ASSERT_TRUE(again);
  EXPECT_EQ(server_.x().atomName(again->displayID()), prefix + "0");
}

TEST_F(OwnershipTest, ReleasingEveryDisplayAtTheEndLeavesTheScreenAsItWas) {
  // It ends the process's displays for good, so it runs in a process of its own.
  EXPECT_EXIT(
      {
        auto first = makeDisplay("Tovarine First", 640, 480);
        auto second = makeDisplay("Tovarine Second", 800, 600);
        const bool made = first && second && server_.monitors().size() == 3;
        platform::releaseAllVirtualDisplays();
        const bool released = server_.monitors().size() == 1 &&
                              server_.screenSize() == std::make_pair(kBaseWidth, kBaseHeight) &&
                              owners().empty() && first->displayID() == platform::kNullDisplayID;
        const bool refused = !makeDisplay("Tovarine Late", 320, 240);
        std::_Exit(made && released && refused ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
