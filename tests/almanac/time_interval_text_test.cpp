#include "almanac/time_interval_text.h"

#include <gtest/gtest.h>
#include <unicode/measfmt.h>
#include <unicode/measunit.h>
#include <unicode/measure.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::region;
using platform::ZeroFormattingBehavior;
using testing_dates::at;
using C = platform::Calendar::Component;
using UnitsStyle = platform::DateComponentsFormatter::UnitsStyle;

class TimeIntervalTextTest : public ::testing::Test {
 protected:
  testing_dates::PinnedSettings pinned_{"en_US", "UTC"};
};

TEST_F(TimeIntervalTextTest, ASharedFormatterCallKeepsNothingOfTheCallBefore) {
  ComponentsFormatterOptions full;
  full.unitsStyle = UnitsStyle::full;
  EXPECT_EQ(toString(3661, full), "1 hour, 1 minute, 1 second");
  EXPECT_EQ(toString(3661, ComponentsFormatterOptions()), "1:01:01");
  ComponentsFormatterOptions two;
  two.maximumUnitCount = 2;
  two.unitsStyle = UnitsStyle::abbreviated;
  EXPECT_EQ(toString(3661, two), "1h 1m");
  EXPECT_EQ(toString(3661, full), "1 hour, 1 minute, 1 second");
}

TEST_F(TimeIntervalTextTest, ApplyLeavesAbsentOptionsAlone) {
  platform::DateComponentsFormatter formatter;
  formatter.maximumUnitCount = 2;
  formatter.unitsStyle = UnitsStyle::short_;
  formatter.collapsesLargestUnit = true;
  ComponentsFormatterOptions options;
  options.setLocale(LocaleConvertible("de_DE"));
  options.apply(formatter);
  EXPECT_EQ(formatter.maximumUnitCount, 2);
  EXPECT_EQ(formatter.unitsStyle, UnitsStyle::short_);
  EXPECT_TRUE(formatter.collapsesLargestUnit);
  ASSERT_TRUE(formatter.calendar);
  EXPECT_EQ(formatter.calendar->locale(), platform::Locale("de_DE"));

  options.maximumUnitCount = 0;
  options.allowedUnits = platform::CalendarUnit::minute;
  options.apply(formatter);
  EXPECT_EQ(formatter.maximumUnitCount, 0);
  EXPECT_EQ(formatter.allowedUnits, platform::CalendarUnit::minute);
}

TEST_F(TimeIntervalTextTest, ClockTextsAndTheLeadingZero) {
  // A clock carries whole hours in their own place, even one of exactly 1.
  EXPECT_EQ(toClock(7322), "2:02:02");
  EXPECT_EQ(toClock(3661), "1:01:01");
  EXPECT_EQ(toClock(3661, ZeroFormattingBehavior::pad), "01:01:01");
  EXPECT_EQ(toClock(5, ZeroFormattingBehavior::pad), "00:00:05");
  EXPECT_EQ(toClock(5), "0:05");
  EXPECT_EQ(toClock(-7322), "-2:02:02");
  struct Case {
    const char* text;
    std::optional<ZeroFormattingBehavior> zero;
    const char* result;
  };
  const Case cases[] = {
      {"1:01", ZeroFormattingBehavior::pad, "01:01"},
      {"12:01", ZeroFormattingBehavior::pad, "12:01"},
      {"61", ZeroFormattingBehavior::pad, "61"},
      {":01", ZeroFormattingBehavior::pad, "0:01"},
      {"1:01", ZeroFormattingBehavior::dropLeading, "1:01"},
      {"1:01", std::nullopt, "1:01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(withLeadingZero(c.text, c.zero), c.result);
  }
}

TEST_F(TimeIntervalTextTest, LocaleIsTheCalendarsLocale) {
  ComponentsFormatterOptions options;
  options.setLocale(std::nullopt);
  EXPECT_FALSE(options.locale());
  options.setLocale(LocaleConvertible(Locales::englishUnitedStatesComputer));
  ASSERT_TRUE(options.locale());
  EXPECT_EQ(options.locale()->identifier(), "en_US_POSIX");
}

TEST_F(TimeIntervalTextTest, CountsAnIntervalInUnits) {
  DateInRegion reference(at(2020, 3, 1), region("GMT"));
  auto units = toUnits(90, {C::minute, C::second}, reference);
  EXPECT_EQ(units, (std::map<C, std::int64_t>{{C::minute, 1}, {C::second, 30}}));
  // February 2020 has 29 days: 30 days before 1 March is 31 January.
  auto days = toUnits(30 * 86400.0, {C::month, C::day}, reference);
  EXPECT_EQ(days, (std::map<C, std::int64_t>{{C::month, 1}, {C::day, 1}}));
  EXPECT_EQ(toUnit(7200, C::hour, reference), 2);
  EXPECT_EQ(toUnit(7200, C::era, reference), std::nullopt);
  EXPECT_EQ(toUnit(7200, C::timeZone, reference), std::nullopt);
  EXPECT_EQ(toUnit(-7200, C::hour, reference), -2);
}

TEST_F(TimeIntervalTextTest, NotANumberWritesAndCountsNothing) {
  const double values[] = {std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity()};
  for (double value : values) {
    SCOPED_TRACE(value);
    EXPECT_EQ(toString(value, ComponentsFormatterOptions()), "");
    EXPECT_EQ(toString(value, std::function<void(ComponentsFormatterOptions&)>()), "");
    EXPECT_EQ(toClock(value), "");
    EXPECT_TRUE(toUnits(value, {C::second, C::minute}).empty());
    EXPECT_EQ(toUnit(value, C::second), std::nullopt);
  }
}

// Past what the calendar can place (about 1.8e14 s from now) an interval is written and
// counted as a non-finite one: not at all.
TEST_F(TimeIntervalTextTest, IntervalsBeyondTheCalendarWriteAndCountNothing) {
  const DateInRegion reference(at(2020, 3, 1), region("GMT"));
  struct Row {
    double interval;
    std::optional<std::int64_t> seconds;  // none: nothing is written or counted
  };
  const Row rows[] = {
      {1e9, 1000000000},     {-1e9, -1000000000},   {1e15, std::nullopt},
      {-1e15, std::nullopt}, {1e300, std::nullopt}, {-1e300, std::nullopt},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.interval);
    EXPECT_EQ(toClock(row.interval).empty(), !row.seconds);
    EXPECT_EQ(toString(row.interval, ComponentsFormatterOptions()).empty(), !row.seconds);
    EXPECT_EQ(toUnit(row.interval, C::second, reference), row.seconds);
    EXPECT_EQ(toUnit(row.interval, C::second).has_value(), row.seconds.has_value());
    EXPECT_EQ(toUnits(row.interval, {C::second, C::minute}, reference).empty(), !row.seconds);
  }
}

std::string icuMeasures(const char* locale, UMeasureFormatWidth width) {
  UErrorCode status = U_ZERO_ERROR;
  icu::MeasureFormat format{icu::Locale(locale), width, status};
  icu::Measure measures[] = {
      icu::Measure(icu::Formattable(1), icu::MeasureUnit::createHour(status), status),
      icu::Measure(icu::Formattable(1), icu::MeasureUnit::createMinute(status), status),
      icu::Measure(icu::Formattable(5), icu::MeasureUnit::createSecond(status), status)};
  icu::UnicodeString text;
  icu::FieldPosition position;
  format.formatMeasures(measures, 3, text, position, status);
  EXPECT_TRUE(U_SUCCESS(status));
  std::string out;
  text.toUTF8String(out);
  return out;
}

TEST_F(TimeIntervalTextTest, UnitTextsAreICUsMeasureTexts) {
  struct Case {
    const char* locale;
    UnitsStyle style;
    UMeasureFormatWidth width;
  };
  const Case cases[] = {
      {"de_DE", UnitsStyle::full, UMEASFMT_WIDTH_WIDE},
      {"de_DE", UnitsStyle::abbreviated, UMEASFMT_WIDTH_NARROW},
      {"fr_FR", UnitsStyle::full, UMEASFMT_WIDTH_WIDE},
      {"fr_FR", UnitsStyle::abbreviated, UMEASFMT_WIDTH_NARROW},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    std::string expected = icuMeasures(c.locale, c.width);
    ComponentsFormatterOptions options;
    options.unitsStyle = c.style;
    options.setLocale(LocaleConvertible(c.locale));
    EXPECT_EQ(toString(3665, options), expected);
    EXPECT_EQ(toString(3665,
                       [&](ComponentsFormatterOptions& o) {
                         o.unitsStyle = c.style;
                         o.setLocale(LocaleConvertible(c.locale));
                       }),
              expected);
  }
  // French unit texts separate number and unit with a no-break space.
  ComponentsFormatterOptions french;
  french.unitsStyle = UnitsStyle::full;
  french.setLocale(LocaleConvertible("fr_FR"));
  EXPECT_EQ(toString(3600, french), "1\u00A0heure");
}

}  // namespace
}  // namespace almanac
