#include "widgets/activity-indicators/counted_item_layout.h"

namespace widgets {

std::vector<CountedItem> countedItems(int count, Size size) {
  std::vector<CountedItem> items;
  if (count <= 0) return items;
  items.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    items.push_back(CountedItem{i, count, size});
  return items;
}

}  // namespace widgets
