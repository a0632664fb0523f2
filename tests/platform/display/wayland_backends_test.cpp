// The pure parts of the Wayland backends: the compositor IPC framing and replies, the record
// of owned outputs, where outputs go, the frames' damage, and the choice of backend.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/display/display_environment.h"
#include "platform/display/gnome/changed_tiles.h"
#include "platform/display/screen_capture_access.h"
#include "platform/display/virtual_display.h"
#include "platform/display/wlroots/wlroots_capture.h"
#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/wlroots/wlroots_outputs.h"

namespace platform {
namespace {

using platform::PixelArea;
using wlroots::OutputInfo;

TEST(WlrootsIpc, MessagesAreFramedAndRepliesBoundedBeforeAllocation) {
  const auto message = wlroots::encodeIpcMessage(wlroots::IpcType::getOutputs, "ab");
  const std::vector<std::uint8_t> expected = {'i', '3', '-', 'i', 'p', 'c', 2,   0,
                                              0,   0,   3,   0,   0,   0,   'a', 'b'};
  EXPECT_EQ(message, expected);

  struct Case {
    const char* what;
    std::vector<std::uint8_t> bytes;
    bool ok;
    std::uint32_t length, type;
  };
  const Case cases[] = {
      {"a reply", {'i', '3', '-', 'i', 'p', 'c', 5, 1, 0, 0, 7, 0, 0, 0}, true, 261, 7},
      {"the largest reply",
       {'i', '3', '-', 'i', 'p', 'c', 0, 0, 0, 1, 0, 0, 0, 0},
       true,
       1u << 24,
       0},
      {"one byte too long", {'i', '3', '-', 'i', 'p', 'c', 1, 0, 0, 1, 0, 0, 0, 0}, false, 0, 0},
      {"a huge length",
       {'i', '3', '-', 'i', 'p', 'c', 255, 255, 255, 255, 0, 0, 0, 0},
       false,
       0,
       0},
      {"wrong magic", {'i', '3', '-', 'i', 'p', 'x', 0, 0, 0, 0, 0, 0, 0, 0}, false, 0, 0},
      {"cut short", {'i', '3', '-', 'i', 'p', 'c', 0, 0, 0, 0, 0, 0, 0}, false, 0, 0},
  };
  for (const Case& c : cases) {
    const auto header = wlroots::decodeIpcHeader(c.bytes);
    ASSERT_EQ(header.has_value(), c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(header->length, c.length) << c.what;
      EXPECT_EQ(header->type, c.type) << c.what;
    }
  }
}

TEST(WlrootsIpc, RepliesAreReadForWhatTheyHoldAndNothingElse) {
  const auto outputs = wlroots::parseOutputs(nlohmann::json::parse(R"([
    {"name": "HEADLESS-1", "active": true, "rect": {"x": 0, "y": 0, "width": 1280, "height": 720}},
    {"name": "HEADLESS-2", "active": false, "rect": {"x": -5, "y": 3, "width": -1, "height": 9}},
    {"active": true},
    "nonsense",
    {"name": "HEADLESS-3"}
  ])"));
  ASSERT_TRUE(outputs.has_value());
  const std::vector<OutputInfo> expected = {{"HEADLESS-1", true, 0, 0, 1280, 720},
                                            {"HEADLESS-2", false, -5, 3, 0, 9},
                                            {"HEADLESS-3", false, 0, 0, 0, 0}};
  EXPECT_EQ(*outputs, expected);
  EXPECT_FALSE(wlroots::parseOutputs(nlohmann::json::object()).has_value());

  struct VersionCase {
    const char* reply;
    bool ok;
    bool canUnplug;
  };
  const VersionCase versions[] = {
      {R"({"major": 1, "minor": 7, "patch": 0})", true, false},
      {R"({"major": 1, "minor": 8, "patch": 1})", true, true},
      {R"({"major": 2, "minor": 0})", true, true},
      {R"({"human_readable": "1.7"})", false, false},
      {R"([1, 7])", false, false},
  };
  for (const auto& c : versions) {
    const auto version = wlroots::parseVersion(nlohmann::json::parse(c.reply));
    ASSERT_EQ(version.has_value(), c.ok) << c.reply;
    if (c.ok) {
      EXPECT_EQ(version->canUnplug(), c.canUnplug) << c.reply;
    }
  }

  struct CommandCase {
    const char* reply;
    std::optional<std::string> failure;
  };
  const CommandCase commands[] = {
      {R"([{"success": true}])", std::nullopt},
      {R"([{"success": true}, {"success": true}])", std::nullopt},
      {R"([{"success": false, "error": "Invalid output subcommand: unplug."}])",
       "Invalid output subcommand: unplug."},
      {R"([{"success": true}, {"success": false}])", "The compositor refused the command"},
      {R"([])", "The compositor gave no answer to the command"},
      {R"({"success": true})", "The compositor gave no answer to the command"},
  };
  for (const auto& c : commands) {
    EXPECT_EQ(wlroots::commandFailure(nlohmann::json::parse(c.reply)), c.failure) << c.reply;
  }
}

TEST(WlrootsOutputs, OwnedOutputsReadBackAsWrittenAndForeignEntriesAreDropped) {
  wlroots::OwnedOutput held{"HEADLESS-2", {0, 4242, 147175, "boot-a", 0, 0}};
  wlroots::OwnedOutput parked{"HEADLESS-3", {}};
  EXPECT_TRUE(parked.parked());
  EXPECT_FALSE(held.parked());
  EXPECT_EQ(wlroots::parseOwnedOutputs(wlroots::formatOwnedOutputs({held, parked})),
            (std::vector<wlroots::OwnedOutput>{held, parked}));

  struct Case {
    const char* entry;
    bool kept;
  };
  const Case cases[] = {
      {R"({"name": "HEADLESS-9", "pid": 7, "start": 1, "boot": "b"})", true},
      {R"({"name": "HEADLESS-9", "pid": -7, "start": 1, "boot": "b"})", false},
      {R"({"name": "", "pid": 7, "start": 1, "boot": "b"})", false},
      {R"({"name": "HEADLESS-9", "pid": 7, "start": -1, "boot": "b"})", false},
      {R"({"name": "HEADLESS-9", "pid": 7, "start": 1})", false},
      {R"({"name": 9, "pid": 7, "start": 1, "boot": "b"})", false},
      {R"({"name": "HEADLESS-2", "pid": 7, "start": 1, "boot": "b"})", false},  // named twice
      {R"("HEADLESS-9")", false},
  };
  for (const Case& c : cases) {
    const std::string text = "[" + wlroots::formatOwnedOutputs({held}).substr(1, std::string::npos);
    const std::string withEntry = text.substr(0, text.size() - 1) + "," + c.entry + "]";
    const auto outputs = wlroots::parseOwnedOutputs(withEntry);
    ASSERT_EQ(outputs.size(), c.kept ? 2u : 1u) << c.entry;
    EXPECT_EQ(outputs.front(), held) << c.entry;
  }
  EXPECT_TRUE(wlroots::parseOwnedOutputs("not json").empty());
  EXPECT_EQ(wlroots::ownedOutputsPath("/run/user/1000/sway-ipc.1000.77.sock"),
            "/run/user/1000/tovarine-outputs.sway-ipc.1000.77.sock.json");
}

TEST(WlrootsOutputs, ANewOutputGoesRightOfTheShownOnes) {
  const OutputInfo first{"HEADLESS-1", true, 0, 0, 1280, 720};
  const OutputInfo second{"HEADLESS-2", true, 1280, 0, 1024, 768};
  const OutputInfo parked{"HEADLESS-3", true, 2000, 0, 16, 16};
  const OutputInfo off{"HEADLESS-4", false, 5000, 0, 800, 600};
  const OutputInfo below{"HEADLESS-5", true, -300, 900, 200, 200};
  struct Case {
    const char* what;
    std::vector<OutputInfo> outputs;
    const char* except;
    std::int32_t edge;
  };
  const Case cases[] = {
      {"no outputs", {}, "", 0},
      {"one", {first}, "", 1280},
      {"two", {first, second}, "", 2304},
      {"the one being placed is left out", {first, second}, "HEADLESS-2", 1280},
      {"parked outputs are left out", {first, parked}, "", 1280},
      {"inactive outputs are left out", {first, off}, "", 1280},
      {"an output left of the origin", {below}, "", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wlroots::rightEdge(c.outputs, c.except), c.edge) << c.what;
  }
  EXPECT_TRUE(wlroots::isParked(parked));
  EXPECT_FALSE(wlroots::isParked({"HEADLESS-3", true, 0, 0, 16, 17}));
}

// A given-back output is parked over the first real output's corner, so that the layout is
// what the real outputs make it.
TEST(WlrootsOutputs, AParkedOutputSitsInsideTheFirstRealOutput) {
  const OutputInfo laptop{"eDP-1", true, -1920, 0, 1920, 1080};
  const OutputInfo monitor{"DP-2", true, 0, 0, 2560, 1440};
  const OutputInfo tablet{"HEADLESS-1", true, 2560, 0, 1024, 768};
  const OutputInfo parked{"HEADLESS-2", true, 0, 0, 16, 16};
  const OutputInfo off{"DP-3", false, 0, 0, 0, 0};
  struct Row {
    const char* what;
    std::vector<OutputInfo> outputs;
    std::pair<std::int32_t, std::int32_t> place;
  };
  const Row rows[] = {
      {"the first real one", {off, parked, laptop, monitor, tablet}, {-1920, 0}},
      {"not the one leaving", {tablet, monitor}, {0, 0}},
      {"none real", {tablet, parked}, {0, 0}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(wlroots::parkingPlace(row.outputs, "HEADLESS-1"), row.place) << row.what;
  }
}

TEST(WlrootsOutputs, FloatingWindowsOffTheirOutputAreBroughtOntoIt) {
  const auto tree = nlohmann::json::parse(R"({"type": "root", "nodes": [
    {"type": "output", "name": "HEADLESS-1", "nodes": [
      {"type": "workspace", "name": "1", "nodes": [], "floating_nodes": [
        {"id": 7, "rect": {"x": -128, "y": -66, "width": 400, "height": 300}},
        {"id": 8, "rect": {"x": 100, "y": 100, "width": 400, "height": 300}},
        {"id": 9, "rect": {"x": 1000, "y": 600, "width": 2000, "height": 300}}]}]},
    {"type": "output", "name": "HEADLESS-2", "nodes": [
      {"type": "workspace", "name": "2", "floating_nodes": [
        {"id": 10, "rect": {"x": 5000, "y": 0, "width": 10, "height": 10}}]}]}]})");
  const auto windows = wlroots::floatingWindowsOn(tree, "HEADLESS-1");
  ASSERT_EQ(windows.size(), 3u);
  EXPECT_EQ(windows[0].id, 7);
  EXPECT_EQ(windows[0].x, -128);
  EXPECT_EQ(windows[2].width, 2000u);
  EXPECT_EQ(
      wlroots::bringOntoCommands(windows, {"HEADLESS-1", true, 0, 0, 1280, 720}),
      (std::vector<std::string>{"[con_id=7] move position center", "[con_id=9] resize set 1280 300",
                                "[con_id=9] move position center"}));
  EXPECT_TRUE(wlroots::floatingWindowsOn(nlohmann::json::parse("[1, 2]"), "HEADLESS-1").empty());
}

TEST(WlrootsCapture, DamageIsUnitedClippedAndTurnedWithTheFrame) {
  EXPECT_EQ(wlroots::unite({}, {1, 2, 3, 4}), (PixelArea{1, 2, 3, 4}));
  EXPECT_EQ(wlroots::unite({10, 10, 5, 5}, {0, 20, 2, 2}), (PixelArea{0, 10, 15, 12}));
  struct Case {
    const char* what;
    PixelArea damage;
    bool yInverted;
    PixelArea expected;
  };
  const Case cases[] = {
      {"inside", {100, 100, 200, 150}, false, {100, 100, 200, 150}},
      {"turned", {100, 100, 200, 150}, true, {100, 518, 200, 150}},
      {"clipped right and below", {900, 700, 500, 500}, false, {900, 700, 124, 68}},
      {"clipped then turned", {900, 700, 500, 500}, true, {900, 0, 124, 68}},
      {"outside", {2000, 0, 10, 10}, false, {}},
      {"empty", {5, 5, 0, 0}, false, {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wlroots::frameDamage(c.damage, 1024, 768, c.yInverted), c.expected) << c.what;
  }
}

TEST(ChangedTiles, TheChangeIsBoundedByTheTilesThatDiffer) {
  constexpr std::uint32_t kWidth = 300, kHeight = 200;  // not whole tiles
  constexpr std::size_t kStride = kWidth * 4 + 16;      // rows with padding
  const std::vector<std::uint8_t> before(kStride * kHeight, 0x40);
  struct Change {
    std::uint32_t x, y;
  };
  struct Case {
    const char* what;
    std::vector<Change> pixels;
    PixelArea expected;
  };
  const Case cases[] = {
      {"nothing", {}, {}},
      {"one pixel at the origin", {{0, 0}}, {0, 0, 64, 64}},
      {"one pixel in the last, narrow tile", {{299, 199}}, {256, 192, 44, 8}},
      {"the last row of a tile", {{70, 63}}, {64, 0, 64, 64}},
      {"two apart", {{10, 10}, {200, 130}}, {0, 0, 256, 192}},
      {"three, the middle one inside the others' bounds",
       {{0, 0}, {100, 100}, {299, 199}},
       {0, 0, 300, 200}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> after = before;
    for (const Change& pixel : c.pixels)
      after[pixel.y * kStride + pixel.x * 4 + 1] ^= 0xff;
    // Padding past the row is no part of the picture.
    after[kStride - 1] ^= 0xff;
    EXPECT_EQ(changedTiles(before.data(), after.data(), kWidth, kHeight, kStride), c.expected)
        << c.what;
  }
}

TEST(ChangedTiles, ReportedDamageIsCutToTheFrameAndGathered) {
  constexpr std::uint32_t kWidth = 300, kHeight = 200;
  struct Case {
    const char* what;
    PixelArea sofar;
    std::int64_t x, y, width, height;
    PixelArea expected;
  };
  const Case cases[] = {
      {"the first rectangle", {}, 10, 20, 30, 40, {10, 20, 30, 40}},
      {"reaching past the right and bottom edges", {}, 290, 190, 50, 50, {290, 190, 10, 10}},
      {"starting left of and above the frame", {}, -5, -8, 20, 20, {0, 0, 15, 12}},
      {"wholly outside adds nothing", {10, 20, 30, 40}, 400, 10, 10, 10, {10, 20, 30, 40}},
      {"empty adds nothing", {10, 20, 30, 40}, 50, 50, 0, 10, {10, 20, 30, 40}},
      {"negative size adds nothing", {}, 50, 50, -10, 10, {}},
      {"two apart give their bounds", {10, 20, 30, 40}, 200, 100, 10, 10, {10, 20, 200, 90}},
      {"one inside the other changes nothing", {0, 0, 100, 100}, 10, 10, 5, 5, {0, 0, 100, 100}},
      {"huge", {}, -(std::int64_t{1} << 40), 0, std::int64_t{1} << 41, 1, {0, 0, 300, 1}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(addDamage(c.sofar, c.x, c.y, c.width, c.height, kWidth, kHeight), c.expected)
        << c.what;
  }
}

TEST(ChangedTiles, FramesOfDifferentStridesAreComparedByTheirPixelsAlone) {
  constexpr std::uint32_t kWidth = 130, kHeight = 70;
  constexpr std::size_t kTight = kWidth * 4, kPadded = kTight + 64;
  const std::vector<std::uint8_t> tight(kTight * kHeight, 0x40);
  struct Case {
    const char* what;
    std::uint32_t x, y;  // the pixel changed in the padded frame, or none past the width
    PixelArea expected;
  };
  const Case cases[] = {
      {"only the padding differs", kWidth, 0, {}},
      {"a pixel in the second tile row", 70, 65, {64, 64, 64, 6}},
      {"the last pixel", kWidth - 1, kHeight - 1, {128, 64, 2, 6}},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> padded(kPadded * kHeight, 0x40);
    for (std::uint32_t y = 0; y < kHeight; ++y)
      padded[y * kPadded + kTight] = 0x99;  // the padding never matches
    if (c.x < kWidth) padded[c.y * kPadded + c.x * 4 + 2] ^= 0xff;
    EXPECT_EQ(changedTiles(tight.data(), kTight, padded.data(), kPadded, kWidth, kHeight),
              c.expected)
        << c.what;
  }
}

TEST(DisplayEnvironment, TheBackendFollowsTheForcedChoiceThenTheSession) {
  using Kind = VirtualDisplayBackendKind;
  struct Case {
    const char* what;
    BackendClues clues;
    Kind backend;
    const char* reasonPart;
  };
  const Case cases[] = {
      {"X session", {"", ":0", "", "", "", false}, Kind::randrMonitor, ""},
      {"no display at all", {"", "", "", "", "", false}, Kind::xvfbPerDisplay, ""},
      {"forced Xvfb on X", {"xvfb", ":0", "", "", "", false}, Kind::xvfbPerDisplay, ""},
      {"sway", {"", ":0", "wayland-1", "sway", "/run/s.sock", false}, Kind::wlrootsOutput, ""},
      {"GNOME", {"", ":0", "wayland-0", "GNOME", "", true}, Kind::gnomeVirtualMonitor, ""},
      {"KDE", {"", ":1", "wayland-0", "KDE", "", false}, Kind::unavailable, "KDE"},
      {"unnamed Wayland desktop",
       {"", "", "wayland-0", "", "", false},
       Kind::unavailable,
       "this desktop"},
      {"forced RandR", {"randr", ":0", "wayland-0", "", "", true}, Kind::randrMonitor, ""},
      {"forced RandR without X",
       {"randr", "", "wayland-0", "", "", false},
       Kind::unavailable,
       "DISPLAY"},
      {"forced wlroots",
       {"wlroots", "", "wayland-0", "", "/run/s.sock", true},
       Kind::wlrootsOutput,
       ""},
      {"forced wlroots, none answers",
       {"wlroots", "", "wayland-0", "", "", true},
       Kind::unavailable,
       "SWAYSOCK"},
      {"forced GNOME",
       {"gnome", "", "wayland-0", "", "/run/s.sock", true},
       Kind::gnomeVirtualMonitor,
       ""},
      {"forced GNOME, not on the bus",
       {"gnome", "", "wayland-0", "", "", false},
       Kind::unavailable,
       "session bus"},
      {"unknown forced name", {"kwin", ":0", "", "", "", false}, Kind::unavailable, "kwin"},
  };
  for (const Case& c : cases) {
    const DisplayEnvironment environment = chooseDisplayEnvironment(c.clues);
    EXPECT_EQ(environment.backend, c.backend) << c.what;
    EXPECT_NE(environment.unavailableReason.find(c.reasonPart), std::string::npos)
        << c.what << ": " << environment.unavailableReason;
    EXPECT_EQ(environment.unavailableReason.empty(), c.backend != Kind::unavailable) << c.what;
  }
}

TEST(DisplayEnvironment, ADesktopWithoutVirtualDisplaysRefusesWithItsReason) {
  DisplayEnvironment environment;
  environment.backend = VirtualDisplayBackendKind::unavailable;
  environment.unavailableReason = "The Wayland desktop KDE has no interface for virtual displays";
  setDisplayEnvironment(environment);
  VirtualDisplayDescriptor descriptor;
  descriptor.setName("Tablet");
  VirtualDisplaySettings settings;
  settings.setModes({VirtualDisplayMode(1024, 768, 60)});
  VirtualDisplay display(descriptor);
  EXPECT_FALSE(display.applySettings(settings));
  EXPECT_EQ(display.failureReason(), environment.unavailableReason);
  EXPECT_EQ(display.displayID(), kNullDisplayID);
  EXPECT_FALSE(preflightScreenCaptureAccess());
  setDisplayEnvironment(std::nullopt);
}

}  // namespace
}  // namespace platform
