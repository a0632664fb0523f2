// Where a tablet's workspaces go when its output is given back.
#include <gtest/gtest.h>

#include "platform/display/wlroots/wlroots_ipc.h"
#include "platform/display/wlroots/wlroots_outputs.h"

namespace {

using platform::wlroots::OutputInfo;
using platform::wlroots::WorkspaceInfo;

const OutputInfo kLaptop{"eDP-1", true, 0, 0, 1920, 1080};
const OutputInfo kMonitor{"DP-2", true, 1920, 0, 2560, 1440};
const OutputInfo kOff{"DP-3", false, 0, 0, 0, 0};
const OutputInfo kTablet{"HEADLESS-1", true, 4480, 0, 1024, 768};
const OutputInfo kParked{"HEADLESS-2", true, 100000, 100000, 16, 16};

TEST(WlrootsWorkspaces, ReturnOutputIsTheOneFocusedBeforeElseTheFocusedElseTheFirstReal) {
  struct Row {
    const char* name;
    std::vector<OutputInfo> outputs;
    std::vector<WorkspaceInfo> workspaces;
    std::string preferred;
    std::string expected;
  };
  const std::vector<OutputInfo> all{kOff, kParked, kLaptop, kMonitor, kTablet};
  const Row rows[] = {
      {"focused before", all, {{"1", "eDP-1", true, true}}, "DP-2", "DP-2"},
      {"focused before is gone", all, {{"1", "DP-2", true, true}}, "DP-9", "DP-2"},
      {"focused before is the leaving one",
       all,
       {{"1", "eDP-1", true, true}},
       "HEADLESS-1",
       "eDP-1"},
      {"focus on the leaving output", all, {{"2", "HEADLESS-1", true, true}}, "", "eDP-1"},
      {"focus on a parked output", all, {{"3", "HEADLESS-2", true, true}}, "", "eDP-1"},
      {"focus on another of ours",
       {kTablet, kParked, {"HEADLESS-3", true, 0, 0, 800, 600}, kLaptop},
       {{"3", "HEADLESS-3", true, true}},
       "",
       "eDP-1"},
      {"nothing real", {kTablet, kParked, kOff}, {}, "DP-3", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(platform::wlroots::returnOutput(row.outputs, row.workspaces, "HEADLESS-1",
                                              row.preferred, {"HEADLESS-1", "HEADLESS-3"}),
              row.expected);
  }
}

TEST(WlrootsWorkspaces, WindowsAndFocusLeaveTheOutputTheVisibleWorkspaceLast) {
  struct Row {
    const char* name;
    std::vector<WorkspaceInfo> workspaces;
    std::string target;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {"visible workspace with windows, focused",
       {{"1", "eDP-1", false, true, false}, {"2", "HEADLESS-1", true, true, false}},
       "eDP-1",
       {"workspace --no-auto-back-and-forth \"2\"", "move workspace to output \"eDP-1\"",
        "focus output \"eDP-1\""}},
      {"two with windows: the visible one moves last",
       {{"tab one", "HEADLESS-1", false, true, false},
        {"tab \"two\"", "HEADLESS-1", false, false, false},
        {"1", "eDP-1", true, true, false}},
       "eDP-1",
       {"workspace --no-auto-back-and-forth \"tab \\\"two\\\"\"",
        "move workspace to output \"eDP-1\"", "workspace --no-auto-back-and-forth \"tab one\"",
        "move workspace to output \"eDP-1\"", "focus output \"eDP-1\""}},
      {"only an empty focused workspace: the focus leaves, the workspace stays",
       {{"1", "eDP-1", false, true, false}, {"5", "HEADLESS-1", true, true, true}},
       "eDP-1",
       {"focus output \"eDP-1\""}},
      {"an empty workspace without the focus: nothing to do",
       {{"1", "eDP-1", true, true, false}, {"5", "HEADLESS-1", false, true, true}},
       "eDP-1",
       {}},
      {"nowhere to go", {{"2", "HEADLESS-1", true, true, false}}, "", {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(platform::wlroots::evacuationCommands(row.workspaces, "HEADLESS-1", row.target),
              row.expected);
  }
}

TEST(WlrootsWorkspaces, ParsesTheWorkspaceList) {
  const auto reply = nlohmann::json::parse(R"([
    {"name": "1", "output": "eDP-1", "focused": false, "visible": true, "focus": [7]},
    {"name": "2", "output": "HEADLESS-1", "focused": true, "visible": true, "focus": []},
    {"name": "", "output": "eDP-1"},
    {"output": "eDP-1"},
    "not an object"
  ])");
  const auto parsed = platform::wlroots::parseWorkspaces(reply);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(*parsed, (std::vector<WorkspaceInfo>{{"1", "eDP-1", false, true, false},
                                                 {"2", "HEADLESS-1", true, true, true}}));
  EXPECT_FALSE(platform::wlroots::parseWorkspaces(nlohmann::json::object()).has_value());
}

}  // namespace
