// The application where the user can find it: one copy per user, and its window on one of the
// user's own outputs, never on a tablet's display that may vanish.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <xcb/randr.h>

#include <QRect>
#include <QSize>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/support/application_run_fixture.h"
#include "platform/display/monitor_owners.h"
#include "platform/display/x11/x_connection.h"

extern char** environ;

namespace app {
namespace {

namespace fs = std::filesystem;
using test::Child;
using test::PrivateXServer;

const QSize kMainScreen(1920, 1080);
const QRect kMainOutput(QPoint(0, 0), kMainScreen);
const QSize kTablet(1024, 768);

class DesktopPresence : public test::ApplicationRunFixture {
 protected:
  Screen screen() const override { return {kMainScreen, PrivateXServer::Room::toGrow}; }

  std::unique_ptr<Child> startAnother() {
    const Environment environment = applicationEnvironment();
    auto child =
        std::make_unique<Child>(std::vector<std::string>{test::applicationBinary().string()},
                                environment.set, environment.unset);
    EXPECT_TRUE(child->started());
    return child;
  }

  // Waits until `child` ends by itself and answers its exit code.
  std::optional<int> exitCodeOf(Child& child) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (child.running() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return child.exitCode();
  }

  fs::path instanceSocket() const { return runtimeDir() / "tovarine" / "instance"; }
};

TEST_F(DesktopPresence, ASecondStartBringsTheFirstWindowForwardAndEnds) {
  startApplication();
  ASSERT_TRUE(waitForWindow()) << "the first copy showed no window";

  // Another client's window covers it.
  auto other = platform::x11::Connection::open(x_->display());
  ASSERT_TRUE(other.has_value()) << other.error();
  xcb_connection_t* c = (*other)->get();
  const xcb_window_t cover = xcb_generate_id(c);
  xcb_create_window(c, XCB_COPY_FROM_PARENT, cover, (*other)->root(), 0, 0, 1920, 1080, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, 0, nullptr);
  xcb_map_window(c, cover);
  xcb_flush(c);
  ASSERT_TRUE(waitFor([&] { return !probe_->onTop("Tovarine"); }));

  auto second = startAnother();
  EXPECT_EQ(exitCodeOf(*second), 0) << "the second start did not end, or not with 0";
  EXPECT_TRUE(waitFor([&] { return probe_->onTop("Tovarine"); }))
      << "the first copy's window stayed behind the other window";
  EXPECT_TRUE(app_->running()) << "the first copy ended";
}

TEST_F(DesktopPresence, TheSocketOfAKilledCopyDoesNotHoldTheNextStartBack) {
  startApplication();
  ASSERT_TRUE(waitForWindow());
  ASSERT_TRUE(fs::exists(instanceSocket()));
  ::kill(app_->pid(), SIGKILL);
  ASSERT_TRUE(waitFor([&] { return !app_->running(); }) || !app_->running());
  ASSERT_TRUE(fs::exists(instanceSocket())) << "nothing stale was left to get past";

  startApplication();
  EXPECT_TRUE(waitForWindow()) << "the start after the killed copy showed no window";
  EXPECT_TRUE(app_->running());
  // And it is the one later starts find.
  auto third = startAnother();
  EXPECT_EQ(exitCodeOf(*third), 0);
  EXPECT_TRUE(app_->running());
}

// A monitor shaped like a tablet's display, right of the main output, recorded as ours with the
// given owner; the screen grows to hold it.
void addTabletMonitor(platform::x11::Connection& x, const platform::MonitorOwnerRecord& owner) {
  platform::x11::Connection::ScreenSize size;
  size.width = static_cast<std::uint16_t>(kMainScreen.width() + kTablet.width());
  size.height = static_cast<std::uint16_t>(kMainScreen.height());
  size.widthInMillimeters = size.width * 254u / 960u;
  size.heightInMillimeters = size.height * 254u / 960u;
  ASSERT_TRUE(x.setScreenSize(size));
  const auto name = x.internAtom("Tovarine Tab");
  ASSERT_TRUE(name);
  platform::x11::Monitor monitor;
  monitor.name = *name;
  monitor.x = static_cast<std::int16_t>(kMainScreen.width());
  monitor.width = static_cast<std::uint16_t>(kTablet.width());
  monitor.height = static_cast<std::uint16_t>(kTablet.height());
  ASSERT_TRUE(x.setMonitor(monitor));
  platform::MonitorOwnerRecord record = owner;
  record.monitor = *name;
  const auto property = x.internAtom(platform::kMonitorOwnersProperty);
  ASSERT_TRUE(property);
  ASSERT_TRUE(x.setRootTextProperty(*property, platform::formatMonitorOwners({record})));
}

// An owner that has ended: a process of this machine that ran and is gone.
platform::MonitorOwnerRecord endedOwner() {
  pid_t child = -1;
  char truePath[] = "/bin/true";
  char* argv[] = {truePath, nullptr};
  if (posix_spawn(&child, truePath, nullptr, nullptr, argv, environ) != 0) return {};
  const auto start = platform::processStartTime(child);
  int status = 0;
  ::waitpid(child, &status, 0);
  platform::MonitorOwnerRecord record;
  record.pid = child;
  record.startTime = start.value_or(1);
  record.bootID = platform::currentBootID();
  record.baseWidth = static_cast<std::uint16_t>(kMainScreen.width());
  record.baseHeight = static_cast<std::uint16_t>(kMainScreen.height());
  return record;
}

TEST_F(DesktopPresence, TheWindowOpensOnTheUsersOwnOutput) {
  struct Row {
    const char* name;
    bool primary;                                         // the main output is the primary one
    std::function<platform::MonitorOwnerRecord()> owner;  // of the tablet's monitor
    std::size_t monitorsAfterStart;
  };
  const Row rows[] = {
      {"no primary output, a live copy's tablet monitor listed first", false,
       [] {
         return platform::ownMonitorRecord(0, static_cast<std::uint16_t>(kMainScreen.width()),
                                           static_cast<std::uint16_t>(kMainScreen.height()));
       },
       2},
      {"no primary output, the tablet monitor of a killed run", false, endedOwner, 1},
      {"a primary output and a live copy's tablet monitor", true,
       [] {
         return platform::ownMonitorRecord(0, static_cast<std::uint16_t>(kMainScreen.width()),
                                           static_cast<std::uint16_t>(kMainScreen.height()));
       },
       2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    app_.reset();
    probe_.reset();
    auto server = PrivateXServer::start(kMainScreen, PrivateXServer::Room::toGrow);
    ASSERT_TRUE(server.has_value()) << server.error();
    x_ = std::move(*server);
    probe_ = std::make_unique<test::XProbe>(x_->display());
    auto x = platform::x11::Connection::open(x_->display());
    ASSERT_TRUE(x.has_value()) << x.error();
    addTabletMonitor(**x, row.owner());
    auto resources = platform::x11::Reply<xcb_randr_get_screen_resources_current_reply_t>(
        xcb_randr_get_screen_resources_current_reply(
            (*x)->get(), xcb_randr_get_screen_resources_current((*x)->get(), (*x)->root()),
            nullptr));
    ASSERT_TRUE(resources);
    const xcb_randr_output_t output =
        xcb_randr_get_screen_resources_current_outputs(resources.get())[0];
    ASSERT_TRUE((*x)->setPrimaryOutput(row.primary ? output : XCB_NONE));
    if (!row.primary) {
      ASSERT_EQ(x_->monitors().front().name, "Tovarine Tab") << "the tablet is not listed first";
    }

    startApplication();
    const auto frame = waitForWindow();
    ASSERT_TRUE(frame) << "no window";
    EXPECT_TRUE(kMainOutput.contains(*frame)) << "window at " << frame->x() << "," << frame->y()
                                              << " " << frame->width() << "x" << frame->height();
    EXPECT_EQ(x_->monitors().size(), row.monitorsAfterStart);
  }
}

}  // namespace
}  // namespace app
