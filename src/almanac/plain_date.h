#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/associated_value.h"
#include "almanac/date_representable.h"
#include "platform/foundation/date.h"

namespace almanac {

// A plain instant seen through the library: it answers every date question in the default
// region, read afresh at each question, so a change of the default region shows in the next
// answer. It converts to and from `platform::Date` freely.
//
// A formatter can be attached to it as to a `DateInRegion`: kept in a box beside the instant,
// shared by copies made afterwards, replaced only in the copy it is set on.
class PlainDate final : public DateRepresentable {
 public:
  PlainDate() = default;
  PlainDate(platform::Date date) : date_(date) {}
  operator platform::Date() const { return date_; }

  // Each of these builds the date in the region as `DateInRegion` does and keeps its instant.
  static std::optional<PlainDate> fromString(std::string_view text,
                                             const std::optional<std::string>& format,
                                             const Region& region);
  static std::optional<PlainDate> fromStringWithFormats(
      std::string_view text, const std::optional<std::vector<std::string>>& formats,
      const Region& region);
  static PlainDate fromSeconds(double seconds, const Region& region);
  static PlainDate fromMilliseconds(std::int64_t milliseconds, const Region& region);
  static std::optional<PlainDate> fromComponentsBuilder(
      const std::function<void(platform::DateComponents&)>& builder,
      const std::optional<Region>& region);
  static std::optional<PlainDate> fromComponents(const platform::DateComponents& components,
                                                 const std::optional<Region>& region);
  static std::optional<PlainDate> fromNumbers(std::int64_t year, std::int64_t month,
                                              std::int64_t day, std::int64_t hour,
                                              std::int64_t minute, std::int64_t second,
                                              std::int64_t nanosecond, const Region& region);

  platform::Date date() const override { return date_; }
  // A copy of the default region as it is now.
  Region region() const override;
  std::shared_ptr<platform::DateFormatter> customFormatter() const override;
  void setCustomFormatter(std::shared_ptr<platform::DateFormatter> formatter) override;

 private:
  platform::Date date_;
  std::shared_ptr<AssociatedValue> attachedFormatter_;
};

}  // namespace almanac
