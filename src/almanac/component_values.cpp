#include "almanac/component_values.h"

#include <limits>

namespace almanac {

std::optional<platform::DateComponents> dateComponents(const ComponentValues& values,
                                                       std::optional<std::int64_t> multipliedBy,
                                                       const std::optional<Region>& region) {
  using Component = platform::Calendar::Component;
  platform::DateComponents components;
  if (region) {
    components.calendar = region->calendar();
    components.timeZone = region->timeZone();
  }
  for (const auto& [component, value] : values) {
    if (component == Component::calendar || component == Component::timeZone ||
        component == Component::isLeapMonth) {
      continue;
    }
    std::int64_t product = value;
    if (multipliedBy && __builtin_mul_overflow(value, *multipliedBy, &product)) {
      return std::nullopt;
    }
    if (product == platform::DateComponents::undefined) return std::nullopt;
    components.setValue(product, component);
  }
  return components;
}

std::optional<ComponentValues> negated(const ComponentValues& values) {
  ComponentValues result;
  for (const auto& [component, value] : values) {
    if (value == std::numeric_limits<std::int64_t>::min()) return std::nullopt;
    result.emplace(component, -value);
  }
  return result;
}

}  // namespace almanac
