#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/date_in_region.h"
#include "almanac/date_styles.h"
#include "almanac/iso_parser.h"
#include "almanac/region.h"

namespace almanac {

// Text read as a date, the text first. Each forwards to the reader that does the work and adds
// nothing of its own: a text that reader cannot read gives no value.

// With the one format.
std::optional<DateInRegion> toDate(std::string_view text, const std::string& format,
                                   const Region& region);
// With the first of the formats that reads it; an empty list reads nothing.
std::optional<DateInRegion> toDate(std::string_view text, const std::vector<std::string>& formats,
                                   const Region& region);
// In the input style.
std::optional<DateInRegion> toDate(std::string_view text, const StringToDateStyles& style,
                                   const Region& region);
// As ISO 8601, with the parser's defaults when no options are given.
std::optional<DateInRegion> toISODate(std::string_view text,
                                      const std::optional<ISOParser::Options>& options = {},
                                      const std::optional<Region>& region = {});
std::optional<DateInRegion> toDotNETDate(std::string_view text, const Region& region);
// "EEE, d MMM yyyy HH:mm:ss ZZZ", or without the weekday when `alt`.
std::optional<DateInRegion> toRSSDate(std::string_view text, bool alt, const Region& region);
// "yyyy-MM-dd'T'HH:mm:ss.SSSX".
std::optional<DateInRegion> toSQLDate(std::string_view text, const Region& region);

}  // namespace almanac
