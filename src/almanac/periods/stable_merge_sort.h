#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>
#include <vector>

namespace almanac::periods_detail {

// A bottom-up merge sort that takes an element from the right run only when `before(right,
// left)` holds, so equal elements keep their order. Unlike std::sort and std::stable_sort it
// asks nothing of the comparator: whatever it answers (inconsistent, always true, at random),
// every index stays inside the runs and the result is a permutation of the input. The input is
// left as it was when the comparator throws, since the sorted list only replaces it at the end.
template <class T, class Before>
std::vector<T> stableMergeSorted(const std::vector<T>& input, Before&& before) {
  std::vector<T> current = input;
  std::vector<T> merged(current.size());
  const std::size_t count = current.size();
  for (std::size_t width = 1; width < count; width *= 2) {
    for (std::size_t low = 0; low < count; low += 2 * width) {
      std::size_t middle = std::min(low + width, count);
      std::size_t high = std::min(low + 2 * width, count);
      std::size_t left = low;
      std::size_t right = middle;
      std::size_t out = low;
      while (left < middle && right < high) {
        if (before(current[right], current[left])) {
          merged[out++] = current[right++];
        } else {
          merged[out++] = current[left++];
        }
      }
      while (left < middle)
        merged[out++] = current[left++];
      while (right < high)
        merged[out++] = current[right++];
    }
    std::swap(current, merged);
  }
  return current;
}

// Whether a comes before b when ordering numbers ascending (descending): a value that is not a
// number comes after every number and ties with another such value, in both directions, so a
// NaN instant or length never makes the ordering inconsistent.
inline bool numberBefore(double a, double b, bool descending) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return descending ? a > b : a < b;
}

}  // namespace almanac::periods_detail
