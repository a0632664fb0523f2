#include "platform/display/window_placement.h"

#include <gtest/gtest.h>

namespace {

using platform::DisplayRect;
using platform::PlacementOutput;

const DisplayRect kReal{{0, 0}, {1920, 1080}};
const DisplayRect kSecondReal{{1920, 0}, {1280, 1024}};
const DisplayRect kTablet{{3200, 0}, {1024, 768}};

PlacementOutput real(const DisplayRect& area, bool primary = false) {
  return {area, primary, false};
}
PlacementOutput tablet(bool primary = false) {
  return {kTablet, primary, true};
}

TEST(WindowPlacement, PrimaryElseTheFirstOutputThatIsNotATablets) {
  struct Row {
    const char* name;
    std::vector<PlacementOutput> outputs;
    std::optional<DisplayRect> expected;
  };
  const Row rows[] = {
      {"no outputs", {}, std::nullopt},
      {"only a tablet", {tablet()}, std::nullopt},
      {"tablet listed first, no primary", {tablet(), real(kReal)}, kReal},
      {"two tablets before two real outputs",
       {tablet(), tablet(), real(kSecondReal), real(kReal)},
       kSecondReal},
      {"primary after the first real output", {real(kReal), real(kSecondReal, true)}, kSecondReal},
      {"primary first", {real(kReal, true), tablet()}, kReal},
      {"a tablet marked primary is passed over", {tablet(true), real(kSecondReal)}, kSecondReal},
      {"an empty output is passed over", {real(DisplayRect{{0, 0}, {0, 0}}), real(kReal)}, kReal},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(platform::windowPlacementArea(row.outputs), row.expected);
  }
}

}  // namespace
