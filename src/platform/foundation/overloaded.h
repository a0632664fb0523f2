#pragma once

namespace platform {

// One visitor of a variant made of several lambdas, one per alternative.
template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace platform
