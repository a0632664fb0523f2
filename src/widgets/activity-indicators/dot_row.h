#pragma once

#include <vector>

#include "widgets/activity-indicators/counted_item_layout.h"
#include "widgets/geometry.h"

namespace widgets {

// The row figures lay N dots across the width W with gaps of `inset` between them, so that the
// row spans the width exactly. The diameter is 0 or less when the gaps alone fill the width;
// such dots are not drawn.
double dotRowDiameter(int count, int inset, double width);
// The horizontal distance from the centre of the box to the centre of dot `index`.
double dotRowOffset(int index, int count, int inset, double width);

// One dot of a row figure; each figure adds how its dots move.
struct DotRowItem {
  int index;
  int count;
  int inset;
  Size size;

  double diameter() const { return dotRowDiameter(count, inset, size.width); }
  bool isDrawn() const { return diameter() > 0; }
  // From the centre of the box to the centre of the dot.
  Point offset() const { return Point{dotRowOffset(index, count, inset, size.width), 0}; }
};

// The dots of a row of `count` dots `inset` apart in a box of `size`; none for a count of 0 or
// less.
template <class Item>
std::vector<Item> dotRowItems(int count, int inset, Size size) {
  std::vector<Item> items;
  for (const auto& item : countedItems(count, size)) {
    items.push_back(Item{{item.index, item.count, inset, item.size}});
  }
  return items;
}

}  // namespace widgets
