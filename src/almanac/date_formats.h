#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "almanac/region.h"
#include "platform/foundation/date.h"

namespace almanac {

// The library's fixed date-format patterns, and the list of automatic formats tried in order
// whenever text must be read as a date and the caller gave no format.
struct DateFormats {
  static constexpr std::string_view iso8601 = "yyyy-MM-dd'T'HH:mm:ssZZZZZ";
  static constexpr std::string_view extended = "eee dd-MMM-yyyy GG HH:mm:ss.SSS zzz";
  static constexpr std::string_view rss = "EEE, d MMM yyyy HH:mm:ss ZZZ";
  static constexpr std::string_view altRSS = "d MMM yyyy HH:mm:ss ZZZ";
  static constexpr std::string_view sql = "yyyy-MM-dd'T'HH:mm:ss.SSSX";
  static constexpr std::string_view httpHeader = "EEE, dd MMM yyyy HH:mm:ss zzz";
  static constexpr std::string_view standard = "EEE MMM dd HH:mm:ss Z yyyy";

  // The 25 patterns the automatic list starts with and returns to on a reset.
  static const std::vector<std::string>& initialAutoFormats();

  // Made on first use, exactly once; read and replaced atomically (see `Almanac`).
  static std::vector<std::string> autoFormats();
  static void setAutoFormats(std::vector<std::string> formats);
  static void modifyAutoFormats(const std::function<void(std::vector<std::string>&)>& change);
  static void resetAutoFormats();
};

// Reads the text with each format in turn, in the region's zone, calendar and locale, with the
// calling thread's shared formatter; the first format that reads it gives the date. No format
// (or an empty list) reads nothing.
std::optional<platform::Date> parseDate(std::string_view text,
                                        const std::vector<std::string>& formats,
                                        const Region& region);
// The same with the one format, or with the automatic formats as they are at the call when no
// format is given.
std::optional<platform::Date> parseDate(std::string_view text,
                                        const std::optional<std::string>& format,
                                        const Region& region);

}  // namespace almanac
