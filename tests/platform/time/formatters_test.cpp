#include <gtest/gtest.h>

#include <thread>

#include "platform/time/date_components_formatter.h"
#include "platform/time/number_formatter.h"
#include "platform/time/relative_date_time_formatter.h"
#include "platform/time/support/dates.h"
#include "platform/time/thread_dictionary.h"

namespace platform {
namespace {

using testing_dates::at;

TEST(NumberFormatter, WritesOrdinalsAndOtherStylesInTheLocale) {
  NumberFormatter f;
  f.setLocale(Locale("en_US"));
  f.setNumberStyle(NumberFormatter::Style::ordinal);
  EXPECT_EQ(f.string(std::int64_t{1}), "1st");
  EXPECT_EQ(f.string(std::int64_t{2}), "2nd");
  EXPECT_EQ(f.string(std::int64_t{11}), "11th");
  EXPECT_EQ(f.string(std::int64_t{22}), "22nd");
  EXPECT_EQ(f.string(std::int64_t{103}), "103rd");
  f.setLocale(Locale("fr_FR"));
  EXPECT_EQ(f.string(std::int64_t{2}), "2e");
  f.setLocale(Locale("en_US"));
  f.setNumberStyle(NumberFormatter::Style::spellOut);
  EXPECT_EQ(f.string(std::int64_t{22}), "twenty-two");
  f.setNumberStyle(NumberFormatter::Style::decimal);
  EXPECT_EQ(f.string(1234.5678), "1,234.568");
  f.setNumberStyle(NumberFormatter::Style::none);
  EXPECT_EQ(f.string(1234.7), "1235");
}

TEST(RelativeDateTimeFormatter, NamesTheLargestUnitThatDiffers) {
  RelativeDateTimeFormatter f;
  f.setLocale(Locale("en_US"));
  Calendar calendar(Calendar::Identifier::gregorian);
  calendar.setTimeZone(TimeZone::gmt());
  f.setCalendar(calendar);
  Date now = at(2024, 3, 10, 12);
  EXPECT_EQ(f.localizedString(at(2024, 3, 12, 15), now), "in 2 days");
  EXPECT_EQ(f.localizedString(at(2024, 3, 10, 11, 59), now), "1 minute ago");
  EXPECT_EQ(f.localizedString(at(2025, 5, 1), now), "in 1 year");
  EXPECT_EQ(f.localizedString(now, now), "in 0 seconds");
  f.setDateTimeStyle(RelativeDateTimeFormatter::DateTimeStyle::named);
  EXPECT_EQ(f.localizedString(at(2024, 3, 9, 12), now), "yesterday");
  EXPECT_EQ(f.localizedString(at(2024, 3, 17, 12), now), "next week");
  EXPECT_EQ(f.localizedString(now, now), "now");
  f.setDateTimeStyle(RelativeDateTimeFormatter::DateTimeStyle::numeric);
  f.setUnitsStyle(RelativeDateTimeFormatter::UnitsStyle::spellOut);
  EXPECT_EQ(f.localizedString(at(2024, 3, 12, 15), now), "in two days");
  f.setUnitsStyle(RelativeDateTimeFormatter::UnitsStyle::short_);
  EXPECT_EQ(f.localizedString(at(2024, 3, 10, 9), now), "3 hr. ago");
}

class ComponentsFormatterTest : public ::testing::Test {
 protected:
  ComponentsFormatterTest() {
    Calendar calendar(Calendar::Identifier::gregorian);
    calendar.setTimeZone(TimeZone::gmt());
    calendar.setLocale(Locale("en_US"));
    f.calendar = calendar;
    f.referenceDate = at(2024, 1, 1);
  }
  DateComponentsFormatter f;
};

TEST_F(ComponentsFormatterTest, WritesClockTexts) {
  EXPECT_EQ(f.string(3661.0), "1:01:01");
  EXPECT_EQ(f.string(61.0), "1:01");
  EXPECT_EQ(f.string(5.0), "0:05");
  EXPECT_EQ(f.string(-61.0), "-1:01");
  f.zeroFormattingBehavior = ZeroFormattingBehavior::pad;
  f.allowedUnits = CalendarUnit::hour | CalendarUnit::minute | CalendarUnit::second;
  EXPECT_EQ(f.string(3661.0), "01:01:01");
  EXPECT_EQ(f.string(5.0), "00:00:05");
}

TEST_F(ComponentsFormatterTest, WritesUnitTexts) {
  f.unitsStyle = DateComponentsFormatter::UnitsStyle::full;
  EXPECT_EQ(f.string(3661.0), "1 hour, 1 minute, 1 second");
  EXPECT_EQ(f.string(3600.0), "1 hour");
  EXPECT_EQ(f.string(0.0), "0 seconds");
  f.unitsStyle = DateComponentsFormatter::UnitsStyle::abbreviated;
  EXPECT_EQ(f.string(3661.0), "1h 1m 1s");
  f.unitsStyle = DateComponentsFormatter::UnitsStyle::spellOut;
  EXPECT_EQ(f.string(7200.0), "two hours");
  f.unitsStyle = DateComponentsFormatter::UnitsStyle::abbreviated;
  f.maximumUnitCount = 1;
  EXPECT_EQ(f.string(3661.0), "1h");
  f.maximumUnitCount = 0;
  f.collapsesLargestUnit = true;
  EXPECT_EQ(f.string(3900.0), "65m");
  f.collapsesLargestUnit = false;
  f.allowedUnits = CalendarUnit::hour;
  f.allowsFractionalUnits = true;
  EXPECT_EQ(f.string(5400.0), "1.5h");
  f.includesApproximationPhrase = true;
  f.includesTimeRemainingPhrase = true;
  EXPECT_EQ(f.string(5400.0), "About 1.5h remaining");
}

TEST(ThreadDictionary, EachThreadHasItsOwn) {
  ThreadDictionary::current()["key"] = std::string("main");
  std::any seen;
  std::thread([&] { seen = ThreadDictionary::current()["key"]; }).join();
  EXPECT_FALSE(seen.has_value());
  EXPECT_EQ(std::any_cast<std::string>(ThreadDictionary::current()["key"]), "main");
  ThreadDictionary::current().erase("key");
}

}  // namespace
}  // namespace platform
