#include "almanac/date_styles.h"

#include "almanac/almanac.h"
#include "almanac/date_formats.h"
#include "almanac/date_representable.h"
#include "almanac/dotnet_date.h"
#include "almanac/formatter_cache.h"
#include "platform/foundation/overloaded.h"

namespace almanac {

namespace {

using platform::Overloaded;

// The region of texts for machines, made once: building it looks its zone up anew each time.
const Region& machineRegion() {
  static const Region iso = Region::isoStandard();
  return iso;
}

using Style = platform::DateFormatter::Style;

std::string styled(const DateRepresentable& date, Style dateStyle, Style timeStyle) {
  auto formatter = date.regionFormatter(std::nullopt, [=](platform::DateFormatter& f) {
    f.setDateStyle(dateStyle);
    f.setTimeStyle(timeStyle);
  });
  return formatter->string(date.date());
}

std::string patterned(const DateRepresentable& date, std::string_view pattern) {
  return date.regionFormatter(std::string(pattern))->string(date.date());
}

}  // namespace

std::string DateToStringStyles::text(const DateRepresentable& date) const {
  using S = DateToStringStyles;
  return std::visit(
      Overloaded{
          [&](const S::Iso& c) { return ISOFormatter::format(date, c.options); },
          [&](const S::Date& c) { return styled(date, c.style, Style::none); },
          [&](const S::Time& c) { return styled(date, Style::none, c.style); },
          [&](const S::DateTime& c) { return styled(date, c.style, c.style); },
          [&](const S::DateTimeMixed& c) { return styled(date, c.dateStyle, c.timeStyle); },
          [&](const S::Custom& c) { return patterned(date, c.format); },
          [&](const S::Relative& c) {
            DateInRegion now(platform::Date::now(), Almanac::defaultRegion());
            return date.relativeText(now, c.style, c.unitsStyle);
          },
          [&](const S::Extended&) { return patterned(date, DateFormats::extended); },
          [&](const S::Rss&) { return patterned(date, DateFormats::rss); },
          [&](const S::AltRSS&) { return patterned(date, DateFormats::altRSS); },
          [&](const S::DotNet&) { return DOTNETFormatter::format(date, {}); },
          [&](const S::HttpHeader&) { return patterned(date, DateFormats::httpHeader); },
          [&](const S::Sql&) { return patterned(date, DateFormats::sql); },
          [&](const S::Standard&) { return patterned(date, DateFormats::standard); },
      },
      value_);
}

std::optional<DateInRegion> StringToDateStyles::date(std::string_view text,
                                                     const Region& region) const {
  using S = StringToDateStyles;
  auto withFormat = [&](std::string_view format) {
    return DateInRegion::fromString(text, std::string(format), region);
  };
  // Names are read in "en_US_POSIX" whatever the region; the result then takes its locale.
  auto rssLike = [&](std::string_view format) -> std::optional<DateInRegion> {
    auto read = DateInRegion::fromString(text, std::string(format), machineRegion());
    if (!read) return std::nullopt;
    return read->converted(std::nullopt, std::nullopt, LocaleConvertible(region.locale()));
  };
  return std::visit(Overloaded{
                        [&](const S::Iso& c) { return ISOParser::parse(text, region, c.options); },
                        [&](const S::Strict& c) -> std::optional<DateInRegion> {
                          auto formatter = sharedDateFormatter(region, c.format);
                          formatter->setLenient(false);
                          auto instant = formatter->date(text);
                          if (!instant) return std::nullopt;
                          return DateInRegion(*instant, region);
                        },
                        [&](const S::Custom& c) { return withFormat(c.format); },
                        [&](const S::Extended&) { return withFormat(DateFormats::extended); },
                        [&](const S::Rss&) { return rssLike(DateFormats::rss); },
                        [&](const S::AltRSS&) { return rssLike(DateFormats::altRSS); },
                        [&](const S::DotNet&) { return DOTNETParser::parse(text, region, {}); },
                        [&](const S::Sql&) { return withFormat(DateFormats::sql); },
                        [&](const S::HttpHeader&) { return withFormat(DateFormats::httpHeader); },
                        [&](const S::Standard&) { return withFormat(DateFormats::standard); },
                    },
                    value_);
}

}  // namespace almanac
