#include "widgets/activity-indicators/dot_row.h"

namespace widgets {

double dotRowDiameter(int count, int inset, double width) {
  const double n = count;
  return (width - (n - 1) * inset) / n;
}

double dotRowOffset(int index, int count, int inset, double width) {
  const double s = dotRowDiameter(count, inset, width);
  return s / 2 + index * (inset + s) - width / 2;
}

}  // namespace widgets
