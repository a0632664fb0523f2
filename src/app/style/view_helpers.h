#pragma once

#include <type_traits>
#include <utility>
#include <variant>

namespace app {

// Content that is one of two branches, the untransformed one first; switching the condition
// swaps the branch rather than changing the content in place.
template <class View, class Transformed>
using ConditionalContent = std::variant<View, Transformed>;

// The view transformed when `condition` holds, else the view unchanged.
template <class View, class Transform>
auto applyIf(View view, bool condition, Transform&& transform)
    -> ConditionalContent<View, std::invoke_result_t<Transform, View>> {
  using Result = ConditionalContent<View, std::invoke_result_t<Transform, View>>;
  if (condition) {
    return Result(std::in_place_index<1>, std::forward<Transform>(transform)(std::move(view)));
  }
  return Result(std::in_place_index<0>, std::move(view));
}

}  // namespace app
