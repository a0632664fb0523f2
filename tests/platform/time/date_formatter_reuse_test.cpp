#include <gtest/gtest.h>

#include <string>

#include "platform/time/date_formatter.h"
#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;
using testing_dates::zone;

// One formatter reused the way the date library reuses its per-thread formatter: whatever was
// set last before a use decides the text, however the settings changed in between.
TEST(DateFormatterReuseTest, EachUseWritesWithTheSettingsOfThatMoment) {
  DateFormatter f;
  f.setLocale(Locale("en_US"));
  f.setTimeZone(zone("GMT"));
  f.setDateFormat("yyyy-MM-dd HH:mm EEEE");
  const Date date = at(2020, 1, 2, 3, 4);
  struct Step {
    const char* name;
    void (*change)(DateFormatter&);
    const char* text;
  };
  const Step steps[] = {
      {"as set", [](DateFormatter&) {}, "2020-01-02 03:04 Thursday"},
      {"zone", [](DateFormatter& g) { g.setTimeZone(zone("Asia/Tokyo")); },
       "2020-01-02 12:04 Thursday"},
      {"locale",
       [](DateFormatter& g) {
         g.setLocale(Locale("fr_FR"));
         g.setLocale(Locale("de_DE"));
       },
       "2020-01-02 12:04 Donnerstag"},
      {"changed and changed back",
       [](DateFormatter& g) {
         g.setTimeZone(zone("America/New_York"));
         g.setCalendar(Calendar(Calendar::Identifier::buddhist));
         g.setTimeZone(zone("Asia/Tokyo"));
       },
       "2563-01-02 12:04 Donnerstag"},
      {"calendar",
       [](DateFormatter& g) { g.setCalendar(Calendar(Calendar::Identifier::gregorian)); },
       "2020-01-02 12:04 Donnerstag"},
      {"styles",
       [](DateFormatter& g) {
         g.setLocale(Locale("en_US"));
         g.setDateStyle(DateFormatter::Style::short_);
         g.setTimeStyle(DateFormatter::Style::none);
       },
       "1/2/20"},
      {"styles in another locale", [](DateFormatter& g) { g.setLocale(Locale("de_DE")); },
       "02.01.20"},
      {"unknown field", [](DateFormatter& g) { g.setDateFormat("yyyy ppp"); }, ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.name);
    step.change(f);
    EXPECT_EQ(f.string(date), step.text);
  }
}

TEST(DateFormatterReuseTest, LeniencyChangesOnABuiltFormatter) {
  DateFormatter f;
  f.setLocale(Locale("en_US_POSIX"));
  f.setTimeZone(zone("GMT"));
  f.setDateFormat("yyyy-MM-dd");
  EXPECT_EQ(f.date("2020-12-01"), at(2020, 12, 1));
  EXPECT_FALSE(f.date("2020-13-01"));
  f.setLenient(true);
  EXPECT_EQ(f.date("2020-13-01"), at(2021, 1, 1));
  f.setLenient(false);
  EXPECT_FALSE(f.date("2020-13-01"));
}

// Instants are held as seconds since 2001: a whole millisecond since 1970 must still be written
// as itself, not one below.
TEST(DateFormatterReuseTest, WritesWholeMillisecondsAsThemselves) {
  DateFormatter f;
  f.setLocale(Locale("en_US_POSIX"));
  f.setTimeZone(zone("GMT"));
  f.setDateFormat("ss.SSS");
  const double instants[] = {324239784.698, 1600000000.123, -86399.001, 0.001, 978307200.999};
  const char* texts[] = {"24.698", "40.123", "00.999", "00.001", "00.999"};
  for (std::size_t i = 0; i < std::size(instants); ++i) {
    EXPECT_EQ(f.string(Date::fromTimeIntervalSince1970(instants[i])), texts[i]) << instants[i];
  }
}

}  // namespace
}  // namespace platform
