#include "almanac/date_parsable.h"

#include <any>

#include "almanac/date_formats.h"
#include "almanac/dotnet_date.h"

namespace almanac {

std::optional<DateInRegion> toDate(std::string_view text, const std::string& format,
                                   const Region& region) {
  return DateInRegion::fromString(text, format, region);
}

std::optional<DateInRegion> toDate(std::string_view text, const std::vector<std::string>& formats,
                                   const Region& region) {
  return DateInRegion::fromStringWithFormats(text, formats, region);
}

std::optional<DateInRegion> toDate(std::string_view text, const StringToDateStyles& style,
                                   const Region& region) {
  return style.date(text, region);
}

std::optional<DateInRegion> toISODate(std::string_view text,
                                      const std::optional<ISOParser::Options>& options,
                                      const std::optional<Region>& region) {
  return ISOParser::parse(text, region, options ? std::any(*options) : std::any());
}

std::optional<DateInRegion> toDotNETDate(std::string_view text, const Region& region) {
  return DOTNETParser::parse(text, region, {});
}

std::optional<DateInRegion> toRSSDate(std::string_view text, bool alt, const Region& region) {
  return (alt ? StringToDateStyles::altRSS() : StringToDateStyles::rss()).date(text, region);
}

std::optional<DateInRegion> toSQLDate(std::string_view text, const Region& region) {
  return DateInRegion::fromString(text, std::string(DateFormats::sql), region);
}

}  // namespace almanac
