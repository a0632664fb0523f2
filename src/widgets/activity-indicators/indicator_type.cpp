#include "widgets/activity-indicators/indicator_type.h"

namespace widgets {

std::optional<int> IndicatorType::count() const {
  return std::visit(
      [](const auto& kind) -> std::optional<int> {
        if constexpr (requires { kind.count; }) {
          return kind.count;
        } else {
          return std::nullopt;
        }
      },
      kind_);
}

}  // namespace widgets
