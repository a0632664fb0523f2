#pragma once

#include <any>
#include <concepts>
#include <optional>
#include <string>
#include <string_view>

#include "almanac/region.h"

namespace almanac {

class DateInRegion;
class DateRepresentable;

// A reader of one text form. Its options come as a value of any type, or none; options of a
// type the reader does not know count as none, so one call site can serve every reader.
template <class T>
concept StringToDateTransformable = requires(std::string_view text,
                                             const std::optional<Region>& region,
                                             const std::any& options) {
  { T::parse(text, region, options) } -> std::same_as<std::optional<DateInRegion>>;
};

// A writer of one text form, with options as for the readers.
template <class T>
concept DateToStringTrasformable = requires(const DateRepresentable& date,
                                            const std::any& options) {
  { T::format(date, options) } -> std::same_as<std::string>;
};

}  // namespace almanac
