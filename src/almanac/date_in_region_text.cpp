#include "almanac/date_in_region.h"

namespace almanac {

DateInRegion DateInRegion::converted(const std::optional<CalendarConvertible>& calendar,
                                     const std::optional<ZoneConvertible>& zone,
                                     const std::optional<LocaleConvertible>& locale) const {
  return DateInRegion(date_, Region(calendar ? *calendar : CalendarConvertible(region_.calendar()),
                                    zone ? *zone : ZoneConvertible(region_.timeZone()),
                                    locale ? *locale : LocaleConvertible(region_.locale())));
}

}  // namespace almanac
