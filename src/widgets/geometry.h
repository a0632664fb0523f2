#pragma once

namespace widgets {

// Sizes and points in device-independent points, as the views lay them out.
struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

}  // namespace widgets
