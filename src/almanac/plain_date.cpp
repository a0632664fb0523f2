#include "almanac/plain_date.h"

#include "almanac/almanac.h"
#include "almanac/date_in_region.h"

namespace almanac {

static_assert(DateKind<PlainDate>);
static_assert(DateKind<DateInRegion>);

namespace {

std::optional<PlainDate> instantOf(const std::optional<DateInRegion>& date) {
  if (!date) return std::nullopt;
  return PlainDate(date->date());
}

}  // namespace

std::optional<PlainDate> PlainDate::fromString(std::string_view text,
                                               const std::optional<std::string>& format,
                                               const Region& region) {
  return instantOf(DateInRegion::fromString(text, format, region));
}

std::optional<PlainDate> PlainDate::fromStringWithFormats(
    std::string_view text, const std::optional<std::vector<std::string>>& formats,
    const Region& region) {
  return instantOf(DateInRegion::fromStringWithFormats(text, formats, region));
}

PlainDate PlainDate::fromSeconds(double seconds, const Region& region) {
  return PlainDate(DateInRegion::fromSeconds(seconds, region).date());
}

PlainDate PlainDate::fromMilliseconds(std::int64_t milliseconds, const Region& region) {
  return PlainDate(DateInRegion::fromMilliseconds(milliseconds, region).date());
}

std::optional<PlainDate> PlainDate::fromComponentsBuilder(
    const std::function<void(platform::DateComponents&)>& builder,
    const std::optional<Region>& region) {
  return instantOf(DateInRegion::fromComponentsBuilder(builder, region));
}

std::optional<PlainDate> PlainDate::fromComponents(const platform::DateComponents& components,
                                                   const std::optional<Region>& region) {
  return instantOf(DateInRegion::fromComponents(components, region));
}

std::optional<PlainDate> PlainDate::fromNumbers(std::int64_t year, std::int64_t month,
                                                std::int64_t day, std::int64_t hour,
                                                std::int64_t minute, std::int64_t second,
                                                std::int64_t nanosecond, const Region& region) {
  return instantOf(
      DateInRegion::fromNumbers(year, month, day, hour, minute, second, nanosecond, region));
}

Region PlainDate::region() const {
  return Almanac::defaultRegion();
}

std::shared_ptr<platform::DateFormatter> PlainDate::customFormatter() const {
  if (!attachedFormatter_) return nullptr;
  return attachedFormatter_->valueAs<std::shared_ptr<platform::DateFormatter>>().value_or(nullptr);
}

void PlainDate::setCustomFormatter(std::shared_ptr<platform::DateFormatter> formatter) {
  attachedFormatter_ = std::make_shared<AssociatedValue>(std::move(formatter));
}

}  // namespace almanac
