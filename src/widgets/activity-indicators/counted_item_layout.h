#pragma once

#include <vector>

#include "widgets/geometry.h"

namespace widgets {

// One item of a figure drawn from several items: every item is laid in the same W-by-H box,
// centred, and places itself inside it.
struct CountedItem {
  int index;
  int count;
  Size size;
};

// The items 0 to count − 1 of a figure of `count` items in a box of `size`. A count of 0 or
// less gives no items, so such a figure draws nothing.
std::vector<CountedItem> countedItems(int count, Size size);

}  // namespace widgets
