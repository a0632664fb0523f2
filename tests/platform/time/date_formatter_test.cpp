#include "platform/time/date_formatter.h"

#include <gtest/gtest.h>

#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;
using testing_dates::zone;
using Style = DateFormatter::Style;

DateFormatter& pinned(DateFormatter& formatter, const char* locale = "en_US_POSIX",
                      const char* zoneId = "GMT") {
  formatter.setLocale(Locale(locale));
  formatter.setTimeZone(zone(zoneId));
  return formatter;
}

TEST(DateFormatter, WritesAndReadsPatterns) {
  DateFormatter f;
  pinned(f).setDateFormat("EEE MMM dd HH:mm:ss Z yyyy");
  EXPECT_EQ(f.string(Date::fromTimeIntervalSince1970(0)), "Thu Jan 01 00:00:00 +0000 1970");
  EXPECT_EQ(f.date("Thu Jan 01 00:00:00 +0000 1970"), Date::fromTimeIntervalSince1970(0));

  f.setDateFormat("yyyy-MM-dd'T'HH:mm:ssZZZZZ");
  f.setTimeZone(zone("Asia/Tokyo"));
  EXPECT_EQ(f.string(at(2024, 3, 1, 12)), "2024-03-01T21:00:00+09:00");
  EXPECT_EQ(f.date("2024-03-01T21:00:00+01:00"), at(2024, 3, 1, 20));
}

TEST(DateFormatter, ParsesStrictlyUnlessLenientAndConsumesTheWholeText) {
  DateFormatter f;
  pinned(f).setDateFormat("yyyy-MM-dd");
  EXPECT_FALSE(f.isLenient());
  EXPECT_EQ(f.date("2024-02-29"), at(2024, 2, 29));
  EXPECT_FALSE(f.date("2024-13-01"));
  EXPECT_FALSE(f.date("2023-02-29"));
  EXPECT_FALSE(f.date("2024-02-29 and more"));
  EXPECT_FALSE(f.date("2024-02"));
  EXPECT_FALSE(f.date(""));
  f.setLenient(true);
  EXPECT_EQ(f.date("2024-13-01"), at(2025, 1, 1));
}

TEST(DateFormatter, FieldsLeftOutDefaultToTheStartOf2000) {
  DateFormatter f;
  pinned(f, "en_US_POSIX", "Asia/Tokyo").setDateFormat("HH:mm");
  EXPECT_EQ(f.date("10:30"), at(2000, 1, 1, 10, 30, 0, 9 * 3600));
}

TEST(DateFormatter, StylesMakeThePatternAndAPatternOverridesThem) {
  DateFormatter f;
  pinned(f, "en_US");
  EXPECT_EQ(f.dateFormat(), "");
  EXPECT_EQ(f.string(at(2024, 3, 1)), "");
  EXPECT_FALSE(f.date("anything"));

  f.setDateStyle(Style::short_);
  EXPECT_EQ(f.dateFormat(), "M/d/yy");
  EXPECT_EQ(f.string(at(2024, 3, 1)), "3/1/24");
  f.setLocale(Locale("de_DE"));  // a style follows the locale
  EXPECT_EQ(f.dateFormat(), "dd.MM.yy");
  f.setTimeStyle(Style::short_);
  EXPECT_EQ(f.string(at(2024, 3, 1, 14, 5)), "01.03.24, 14:05");

  f.setDateFormat("yyyy");
  EXPECT_EQ(f.dateStyle(), Style::short_);
  EXPECT_EQ(f.string(at(2024, 3, 1)), "2024");
  f.setLocale(Locale("en_US"));  // a pattern stays what it was set to
  EXPECT_EQ(f.dateFormat(), "yyyy");

  f.setDateStyle(Style::none);
  f.setTimeStyle(Style::none);
  EXPECT_EQ(f.dateFormat(), "");
  f.setDateStyle(Style::long_);
  EXPECT_EQ(f.string(at(2024, 3, 1)), "March 1, 2024");
}

TEST(DateFormatter, NamesFollowTheLocaleAndCalendar) {
  DateFormatter f;
  pinned(f, "en_US");
  EXPECT_EQ(f.monthSymbols().size(), 12u);
  EXPECT_EQ(f.monthSymbols()[2], "March");
  EXPECT_EQ(f.shortMonthSymbols()[2], "Mar");
  EXPECT_EQ(f.veryShortMonthSymbols()[2], "M");
  EXPECT_EQ(f.weekdaySymbols().size(), 7u);
  EXPECT_EQ(f.weekdaySymbols()[0], "Sunday");
  EXPECT_EQ(f.shortStandaloneWeekdaySymbols()[1], "Mon");
  EXPECT_EQ(f.quarterSymbols()[0], "1st quarter");
  EXPECT_EQ(f.shortQuarterSymbols()[3], "Q4");
  EXPECT_EQ(f.eraSymbols(), (std::vector<std::string>{"BC", "AD"}));
  EXPECT_EQ(f.longEraSymbols(), (std::vector<std::string>{"Before Christ", "Anno Domini"}));
  EXPECT_EQ(f.amSymbol(), "AM");

  f.setLocale(Locale("fr_FR"));
  EXPECT_EQ(f.monthSymbols()[2], "mars");
  EXPECT_EQ(f.weekdaySymbols()[1], "lundi");

  Calendar japanese(Calendar::Identifier::japanese);
  f.setLocale(Locale("en_US"));
  f.setCalendar(japanese);
  f.setDateFormat("G y");
  EXPECT_EQ(f.string(at(2020, 6, 1)), "Reiwa 2");
  EXPECT_GT(f.eraSymbols().size(), 200u);

  Calendar hebrew(Calendar::Identifier::hebrew);
  f.setCalendar(hebrew);
  EXPECT_GE(f.monthSymbols().size(), 13u);
}

TEST(DateFormatter, FormatsInTheFormattersZoneNotTheCalendars) {
  DateFormatter f;
  pinned(f, "en_US_POSIX", "America/New_York");
  Calendar tokyoCalendar(Calendar::Identifier::gregorian);
  tokyoCalendar.setTimeZone(zone("Asia/Tokyo"));
  f.setCalendar(tokyoCalendar);
  f.setDateFormat("HH:mm zzz");
  EXPECT_EQ(f.string(at(2024, 1, 15, 12)), "07:00 EST");
}

}  // namespace
}  // namespace platform
