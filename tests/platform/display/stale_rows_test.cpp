#include "platform/display/stale_rows.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using platform::StaleRows;
using Band = StaleRows::Band;

TEST(StaleRowsTest, KeepsTheChangedRowsAsFewOrderedBands) {
  struct Case {
    const char* name;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> marks;
    std::vector<Band> expected;
  };
  const Case cases[] = {
      {"nothing", {}, {}},
      {"one band", {{10, 20}}, {{10, 20}}},
      {"kept apart and in order", {{50, 60}, {10, 20}}, {{10, 20}, {50, 60}}},
      {"overlapping merge", {{10, 20}, {15, 30}}, {{10, 30}}},
      {"touching merge", {{10, 20}, {20, 30}}, {{10, 30}}},
      {"one bridging two", {{10, 20}, {40, 50}, {18, 42}}, {{10, 50}}},
      {"clipped to the buffer", {{90, 150}}, {{90, 100}}},
      {"empty or outside ignored", {{30, 30}, {100, 120}, {40, 35}}, {}},
      {"too many become one",
       {{0, 1}, {10, 11}, {20, 21}, {30, 31}, {40, 41}, {50, 51}, {60, 61}, {70, 71}, {80, 81}},
       {{0, 81}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StaleRows rows(100);
    rows.clear();
    for (const auto& [top, bottom] : c.marks)
      rows.mark(top, bottom);
    EXPECT_EQ(rows.bands(), c.expected);
  }
}

TEST(StaleRowsTest, StartsWhollyStaleAndClearsWhenFilled) {
  StaleRows rows(768);
  EXPECT_EQ(rows.bands(), (std::vector<Band>{{0, 768}}));
  rows.mark(5, 9);
  EXPECT_EQ(rows.bands(), (std::vector<Band>{{0, 768}}));
  rows.clear();
  EXPECT_TRUE(rows.bands().empty());
  rows.markAll();
  EXPECT_EQ(rows.bands(), (std::vector<Band>{{0, 768}}));
  EXPECT_TRUE(StaleRows(0).bands().empty());
}

}  // namespace
