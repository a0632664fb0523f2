// Names, output styles, input styles, the .NET form and the text entry points. Expected styled
// texts come from ICU called directly, in the same locale, zone and calendar, never from the
// code under test.
#include <gtest/gtest.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/reldatefmt.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "almanac/almanac.h"
#include "almanac/date_in_region.h"
#include "almanac/date_parsable.h"
#include "almanac/date_styles.h"
#include "almanac/dotnet_date.h"
#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::DefaultRegionGuard;
using almanac_testing::fixedOffsetRegion;
using almanac_testing::FrozenClock;
using almanac_testing::region;
using platform::Calendar;
using platform::Date;
using testing_dates::at;
using Style = platform::DateFormatter::Style;
using Relative = platform::RelativeDateTimeFormatter;
using Out = DateToStringStyles;
using In = StringToDateStyles;

std::string utf8(const icu::UnicodeString& text) {
  std::string out;
  text.toUTF8String(out);
  return out;
}

std::unique_ptr<icu::TimeZone> icuZone(const char* zone) {
  return std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone(zone));
}

// What ICU itself writes with a pattern, in the locale and zone, Gregorian.
std::string icuPattern(const char* pattern, const char* locale, const char* zone, Date date) {
  UErrorCode status = U_ZERO_ERROR;
  icu::SimpleDateFormat format(icu::UnicodeString::fromUTF8(pattern), icu::Locale(locale), status);
  EXPECT_TRUE(U_SUCCESS(status));
  format.adoptTimeZone(icuZone(zone).release());
  icu::UnicodeString text;
  format.format(date.timeIntervalSince1970() * 1000.0, text);
  return utf8(text);
}

std::string icuStyles(icu::DateFormat::EStyle dateStyle, icu::DateFormat::EStyle timeStyle,
                      const char* locale, const char* zone, Date date) {
  std::unique_ptr<icu::DateFormat> format(
      icu::DateFormat::createDateTimeInstance(dateStyle, timeStyle, icu::Locale(locale)));
  format->adoptTimeZone(icuZone(zone).release());
  icu::UnicodeString text;
  format->format(date.timeIntervalSince1970() * 1000.0, text);
  return utf8(text);
}

// --- Names ---

TEST(DateNamesTest, NameMonthsWeekdaysQuartersAndEras) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  DateInRegion march(at(2020, 3, 22, 12), region("GMT", "en_US"));
  EXPECT_EQ(march.monthSymbol(SymbolFormatStyle::short_), "Mar");
  EXPECT_EQ(march.monthSymbol(SymbolFormatStyle::default_), "March");
  EXPECT_EQ(march.monthSymbol(SymbolFormatStyle::veryShort), "M");
  EXPECT_EQ(march.weekdaySymbol(SymbolFormatStyle::default_), "Sunday");
  EXPECT_EQ(march.weekdaySymbol(SymbolFormatStyle::short_, "de_DE"), "So.");
  EXPECT_EQ(march.quarterSymbol(SymbolFormatStyle::default_), "1st quarter");
  EXPECT_EQ(march.quarterSymbol(SymbolFormatStyle::short_), "Q1");
  EXPECT_EQ(march.eraSymbol(SymbolFormatStyle::default_), "Anno Domini");
  EXPECT_EQ(march.eraSymbol(SymbolFormatStyle::short_), "AD");
  EXPECT_EQ(march.ordinalDayText(), "22nd");

  DateInRegion reiwa(at(2020, 3, 22, 12),
                     region("Asia/Tokyo", "en_US", Calendar::Identifier::japanese));
  EXPECT_EQ(reiwa.eraSymbol(SymbolFormatStyle::short_), "Reiwa");
  DateInRegion heisei(at(2010, 3, 22, 12),
                      region("Asia/Tokyo", "en_US", Calendar::Identifier::japanese));
  EXPECT_EQ(heisei.eraSymbol(SymbolFormatStyle::short_), "Heisei");
}

TEST(DateNamesTest, OrdinalDaysFollowTheRegionsLocale) {
  struct Case {
    const char* locale;
    const char* text;
  };
  const Case cases[] = {{"en_US", "22nd"}, {"fr_FR", "22e"}, {"de_DE", "22."}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.locale);
    EXPECT_EQ(DateInRegion(at(2020, 3, 22, 12), region("GMT", c.locale)).ordinalDayText(), c.text);
  }
}

TEST(DateNamesTest, AValueBeyondTheFormattersListHasNoName) {
  // Elul is the thirteenth month of the Hebrew year; a Gregorian formatter has twelve names.
  DateInRegion elul(at(2020, 9, 1, 12), region("GMT", "en_US", Calendar::Identifier::hebrew));
  ASSERT_EQ(elul.month(), 13);
  EXPECT_EQ(elul.monthSymbol(SymbolFormatStyle::default_), "Elul");
  auto gregorian = std::make_shared<platform::DateFormatter>();
  gregorian->setCalendar(Calendar(Calendar::Identifier::gregorian));
  gregorian->setLocale(platform::Locale("en_US"));
  elul.setCustomFormatter(gregorian);
  EXPECT_EQ(elul.monthSymbol(SymbolFormatStyle::default_), "");
}

TEST(DateNamesTest, ALocaleGivenForANameStaysOnTheCustomFormatter) {
  DateInRegion date(at(2020, 3, 22, 12), region("GMT", "en_US"));
  auto custom = std::make_shared<platform::DateFormatter>();
  custom->setLocale(platform::Locale("en_US"));
  custom->setDateFormat("yyyy");
  date.setCustomFormatter(custom);
  EXPECT_EQ(date.weekdaySymbol(SymbolFormatStyle::default_, "fr_FR"), "dimanche");
  EXPECT_EQ(custom->locale().identifier(), "fr_FR");
  EXPECT_EQ(custom->dateFormat(), "yyyy");
}

// --- Text entry points ---

TEST(DateTextTest, WritesTheFixedForms) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  DateInRegion epoch(Date::fromTimeIntervalSince1970(0), region("GMT", "en_US_POSIX"));
  EXPECT_EQ(epoch.string(), "Thu Jan 01 00:00:00 +0000 1970");
  EXPECT_EQ(epoch.sqlText(), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(epoch.rssText(false), "Thu, 1 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(epoch.rssText(true), "1 Jan 1970 00:00:00 +0000");
  EXPECT_EQ(epoch.dotNetText(), "/Date(0+0000)/");
  EXPECT_EQ(DateInRegion(Date::fromTimeIntervalSince1970(0), fixedOffsetRegion(19800)).dotNetText(),
            "/Date(0+0500)/");
  // Each equals its output style.
  EXPECT_EQ(epoch.sqlText(), epoch.string(Out::sql()));
  EXPECT_EQ(epoch.rssText(false), epoch.string(Out::rss()));
  EXPECT_EQ(epoch.rssText(true), epoch.string(Out::altRSS()));
  EXPECT_EQ(epoch.dotNetText(), epoch.string(Out::dotNet()));
  EXPECT_EQ(epoch.isoText(ISOFormatter::Options::dateTimeMillis),
            epoch.string(Out::iso(ISOFormatter::Options::dateTimeMillis)));
}

TEST(DateTextTest, APatternWithALocaleLeavesTheCustomFormatterAlone) {
  DateInRegion date(at(2020, 3, 22, 12), region("GMT", "en_US"));
  auto custom = std::make_shared<platform::DateFormatter>();
  custom->setDateFormat("yyyy");
  custom->setTimeZone(testing_dates::zone("Asia/Tokyo"));
  date.setCustomFormatter(custom);

  EXPECT_EQ(date.string("EEEE HH", "fr_FR"), "dimanche 12");
  EXPECT_EQ(custom->dateFormat(), "yyyy");

  // Without a locale the custom formatter writes it, brought into the date's region.
  EXPECT_EQ(date.string("EEEE HH", std::nullopt), "Sunday 12");
  EXPECT_EQ(custom->dateFormat(), "EEEE HH");
  EXPECT_EQ(custom->timeZone().identifier(), "GMT");
}

// --- Output styles ---

TEST(OutputStylesTest, EveryStyleWritesWhatICUWrites) {
  testing_dates::PinnedSettings pinned("en_US", "America/New_York");
  DefaultRegionGuard guard;
  FrozenClock clock(at(2020, 9, 14, 12, 26, 40.123));
  const Date date = at(2020, 9, 13, 12, 26, 40.123);
  struct Place {
    const char* zone;
    const char* locale;
    const char* dotNet;
  };
  const Place places[] = {{"GMT", "en_US_POSIX", "/Date(1600000000123+0000)/"},
                          {"America/New_York", "en_US", "/Date(1600000000123-0400)/"},
                          {"Asia/Kolkata", "fr_FR", "/Date(1600000000123+0500)/"}};
  using E = icu::DateFormat::EStyle;
  for (const Place& p : places) {
    SCOPED_TRACE(p.locale);
    DateInRegion d(date, region(p.zone, p.locale));
    auto pattern = [&](const char* pat) { return icuPattern(pat, p.locale, p.zone, date); };
    auto styles = [&](E ds, E ts) { return icuStyles(ds, ts, p.locale, p.zone, date); };
    struct Case {
      Out style;
      std::string expected;
    };
    const Case cases[] = {
        {Out::iso(ISOFormatter::Options::dateTimeSeconds),
         icuPattern("yyyy-MM-dd'T'HH:mm:ssXXX", "en_US_POSIX", p.zone, date)},
        {Out::date(Style::short_), styles(E::kShort, E::kNone)},
        {Out::time(Style::medium), styles(E::kNone, E::kMedium)},
        {Out::dateTime(Style::full), styles(E::kFull, E::kFull)},
        {Out::dateTimeMixed(Style::long_, Style::short_), styles(E::kLong, E::kShort)},
        {Out::custom("yyyy.MM.dd G 'at' HH:mm:ss zzz"), pattern("yyyy.MM.dd G 'at' HH:mm:ss zzz")},
        {Out::relative(Relative::DateTimeStyle::named, Relative::UnitsStyle::full), "yesterday"},
        {Out::extended(), pattern("eee dd-MMM-yyyy GG HH:mm:ss.SSS zzz")},
        {Out::rss(), pattern("EEE, d MMM yyyy HH:mm:ss ZZZ")},
        {Out::altRSS(), pattern("d MMM yyyy HH:mm:ss ZZZ")},
        {Out::dotNet(), p.dotNet},
        {Out::httpHeader(), pattern("EEE, dd MMM yyyy HH:mm:ss zzz")},
        {Out::sql(), pattern("yyyy-MM-dd'T'HH:mm:ss.SSSX")},
        {Out::standard(), pattern("EEE MMM dd HH:mm:ss Z yyyy")},
    };
    static_assert(std::variant_size_v<Out::Value> == 14);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.style.value().index());
      EXPECT_EQ(c.style.text(d), c.expected);
    }
  }
}

TEST(OutputStylesTest, WritesTheLiteralCases) {
  testing_dates::PinnedSettings pinned("en_US", "America/New_York");
  DefaultRegionGuard guard;
  FrozenClock clock(at(2020, 9, 14, 12));
  DateInRegion early(at(2020, 9, 13, 3, 4, 0, -4 * 3600), region("America/New_York", "en_US"));
  EXPECT_EQ(early.string(Out::time(Style::short_)), "3:04\u202FAM");
  EXPECT_EQ(early.string(Out::date(Style::short_)), "9/13/20");
  EXPECT_EQ(early.string(Out::custom("yyyy-MM-dd ppp")), "");  // no such field

  // The logger's date: the autoupdating region.
  DateInRegion logged(at(2020, 9, 13, 12, 26, 40), Region::systemSettings());
  EXPECT_EQ(logged.string(Out::dateTime(Style::full)),
            icuStyles(icu::DateFormat::kFull, icu::DateFormat::kFull, "en_US", "America/New_York",
                      at(2020, 9, 13, 12, 26, 40)));
  EXPECT_EQ(logged.string(Out::dateTime(Style::full)),
            "Sunday, September 13, 2020 at 8:26:40\u202FAM Eastern Daylight Time");

  // Relative texts are in the user's locale, not the region's.
  DateInRegion yesterday(at(2020, 9, 13, 12), region("GMT", "fr_FR"));
  auto named = Out::relative(Relative::DateTimeStyle::named, Relative::UnitsStyle::full);
  EXPECT_EQ(yesterday.string(named), "yesterday");
  {
    testing_dates::PinnedSettings german("de_DE", "Europe/Berlin");
    EXPECT_EQ(yesterday.string(named), "gestern");
  }
  DateInRegion twoHours(at(2020, 9, 14, 10), region("GMT", "fr_FR"));
  UErrorCode status = U_ZERO_ERROR;
  icu::RelativeDateTimeFormatter icuRelative(icu::Locale("en_US"), status);
  icu::UnicodeString expected;
  icuRelative.formatNumeric(-2, UDAT_REL_UNIT_HOUR, expected, status);
  ASSERT_TRUE(U_SUCCESS(status));
  EXPECT_EQ(
      twoHours.string(Out::relative(Relative::DateTimeStyle::numeric, Relative::UnitsStyle::full)),
      utf8(expected));
}

// --- Input styles and entry points ---

TEST(InputStylesTest, ReadBackWhatTheOutputStylesWrite) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  const Region gmt = region("GMT", "en_US_POSIX");
  const Date date = at(2020, 9, 13, 12, 26, 40.123);
  const Date whole = at(2020, 9, 13, 12, 26, 40);
  DateInRegion d(date, gmt);
  struct Case {
    Out out;
    In in;
    Date expected;
  };
  const Case cases[] = {
      {Out::iso(ISOFormatter::Options::dateTimeMillis), In::iso(ISOParser::Options()), date},
      {Out::custom("dd/MM/yyyy HH:mm:ss.SSS"), In::custom("dd/MM/yyyy HH:mm:ss.SSS"), date},
      {Out::custom("yyyy-MM-dd HH:mm"), In::strict("yyyy-MM-dd HH:mm"), at(2020, 9, 13, 12, 26)},
      {Out::extended(), In::extended(), date},
      {Out::rss(), In::rss(), whole},
      {Out::altRSS(), In::altRSS(), whole},
      {Out::dotNet(), In::dotNet(), date},
      {Out::sql(), In::sql(), date},
      {Out::httpHeader(), In::httpHeader(), whole},
      {Out::standard(), In::standard(), whole},
  };
  static_assert(std::variant_size_v<In::Value> == 10);
  for (const Case& c : cases) {
    std::string text = c.out.text(d);
    SCOPED_TRACE(text);
    auto back = c.in.date(text, gmt);
    ASSERT_TRUE(back);
    EXPECT_NEAR(back->timeIntervalSince1970(), c.expected.timeIntervalSince1970(), 1e-6);
    EXPECT_EQ(back->region(), gmt);
    auto entry = toDate(text, c.in, gmt);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->date(), back->date());
  }
}

TEST(InputStylesTest, RSSReadsEnglishNamesAndTakesTheRegionsLocale) {
  const Region paris = region("Europe/Paris", "fr_FR");
  auto read = In::rss().date("Thu, 1 Jan 1970 00:00:00 +0000", paris);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->date(), Date::fromTimeIntervalSince1970(0));
  EXPECT_EQ(read->region().timeZone().identifier(), "GMT");
  EXPECT_EQ(read->region().locale().identifier(), "fr_FR");
  EXPECT_EQ(read->region().calendar().identifier(), Calendar::Identifier::gregorian);
  EXPECT_TRUE(toRSSDate("1 Jan 1970 00:00:00 +0000", true, paris));
  EXPECT_FALSE(toRSSDate("1 Jan 1970 00:00:00 +0000", false, paris));
  EXPECT_FALSE(toRSSDate("Thu, 1 Jan 1970 00:00:00 +0000", true, paris));
}

TEST(InputStylesTest, EntryPointsForwardAndRefuse) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  const Region gmt = region("GMT", "en_US_POSIX");
  struct Case {
    const char* name;
    std::optional<DateInRegion> read;
    std::optional<Date> expected;
  };
  const Case cases[] = {
      {"strict month 13", toDate("2020-13-01", In::strict("yyyy-MM-dd"), gmt), std::nullopt},
      {"strict month 12", toDate("2020-12-01", In::strict("yyyy-MM-dd"), gmt), at(2020, 12, 1)},
      {"sql", toSQLDate("2020-01-02T03:04:05.678Z", gmt), at(2020, 1, 2, 3, 4, 5.678)},
      {"sql without ms", toSQLDate("2020-01-02T03:04:05Z", gmt), std::nullopt},
      {"no formats", toDate("2020-01-02", std::vector<std::string>{}, gmt), std::nullopt},
      {"second format",
       toDate("02.01.2020", std::vector<std::string>{"yyyy-MM-dd", "dd.MM.yyyy"}, gmt),
       at(2020, 1, 2)},
      {"one format", toDate("02.01.2020", std::string("dd.MM.yyyy"), gmt), at(2020, 1, 2)},
      {"iso defaults", toISODate("2020-01-02T03:04:05 +01:00"), at(2020, 1, 2, 3, 4, 5, 3600)},
      {"iso strict", toISODate("2020-01-02T03:04:05 +01:00", ISOParser::Options(true)),
       std::nullopt},
      {".NET", toDotNETDate("/Date(1000+0100)/", gmt), Date::fromTimeIntervalSince1970(1)},
      // A fraction too long for the date library's own parse is cut to the digits asked for.
      {"sql, 40 fraction digits",
       toSQLDate("2020-01-02T03:04:05." + std::string(40, '1') + "Z", gmt),
       at(2020, 1, 2, 3, 4, 5.111)},
      {"automatic formats, 35 fraction digits",
       DateInRegion::fromStringWithFormats("2020-01-02T03:04:05." + std::string(35, '1') + "Z",
                                           std::nullopt, gmt),
       at(2020, 1, 2, 3, 4, 5.111)},
      {"automatic formats, 1 MiB",
       DateInRegion::fromStringWithFormats("2020-01-02T03:04:05." + std::string(1 << 20, '1') + "Z",
                                           std::nullopt, gmt),
       std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(c.read.has_value(), c.expected.has_value());
    if (c.read) {
      EXPECT_NEAR(c.read->timeIntervalSince1970(), c.expected->timeIntervalSince1970(), 1e-6);
    }
  }
}

// --- .NET ---

TEST(DotNetDateTest, ReadsTheFormOnlyWithAValidOffset) {
  struct Case {
    std::string text;
    std::optional<double> seconds;
  };
  const Case cases[] = {
      {"\"/Date(1600000000123+0000)/\"", 1600000000.123},
      {"/Date(1600000000123)/", std::nullopt},
      {"/Date(0+0000)/", 0.0},
      {"/Date(0-0000)/", 0.0},
      {"/Date(0+1800)/", 0.0},
      {"/Date(0+1900)/", std::nullopt},
      {"/Date(0-1900)/", std::nullopt},
      {"/Date(5000+01001)/", 5.0},
      {"/date(5000+0100)/", 5.0},
      {"/DATE(5000+0100)/", 5.0},
      {"/Date(-86400000+0000)/", -86400.0},
      {"/Date(5000+1)/", std::nullopt},
      {"/Date(5000+12)/", std::nullopt},
      {"/Date(5000+123)/", std::nullopt},
      {"/Date(5000+)/", std::nullopt},
      {"/Date(+0000)/", std::nullopt},
      {"/Date(5000+0000)", std::nullopt},
      {"/Date(5000 +0000)/", std::nullopt},
      {"x/Date(x/Date(7000-0500)/", 7.0},
      {"/Date(\u0661\u0662+0000)/", std::nullopt},  // Arabic-Indic digits
      {"/Date(12+\u0661\u0662\u0663\u0664)/", std::nullopt},
      {"/Date(8640000000000000+0000)/", 8.64e12},
      {"/Date(8640000000000001+0000)/", std::nullopt},
      {"/Date(-8640000000000001+0000)/", std::nullopt},
      {"/Date(" + std::string(1 << 20, '9') + "+0000)/", std::nullopt},
      {"/Date(" + std::string(1 << 20, '9'), std::nullopt},
      {std::string(1 << 16, '/') + "Date(1+0000)/", 0.001},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 40));
    auto got = DOTNETParser::instant(c.text);
    ASSERT_EQ(got.has_value(), c.seconds.has_value());
    if (got) {
      EXPECT_DOUBLE_EQ(*got, *c.seconds);
    }
  }
  auto parsed = DOTNETParser::parse("/Date(0+0530)/", std::nullopt, 5);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->region(), Region::isoStandard());
}

TEST(DotNetDateTest, WritesWholeOffsetHoursTruncated) {
  struct Case {
    double seconds;
    int offset;
    const char* text;
  };
  const Case cases[] = {
      {0, 0, "/Date(0+0000)/"},           {0, 19800, "/Date(0+0500)/"},
      {0, -12600, "/Date(0-0300)/"},      {0, -1800, "/Date(0+0000)/"},
      {-1.5, 3600, "/Date(-1500+0100)/"}, {1600000000.123, -18000, "/Date(1600000000123-0500)/"},
  };
  for (const Case& c : cases) {
    DateInRegion d(Date::fromTimeIntervalSince1970(c.seconds), fixedOffsetRegion(c.offset));
    EXPECT_EQ(DOTNETFormatter::format(d, {}), c.text);
  }
}

TEST(DotNetDateTest, ReadsBackWhatItWritesToTheMillisecond) {
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 2000; ++i) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    std::int64_t ms = static_cast<std::int64_t>(state >> 20) - (std::int64_t{1} << 43);
    int offset = static_cast<int>((state >> 8) % 97) * 900 - 43200;
    DateInRegion d(Date::fromTimeIntervalSince1970(static_cast<double>(ms) / 1000.0),
                   fixedOffsetRegion(offset));
    std::string text = d.dotNetText();
    auto back = toDotNETDate(text, region("GMT"));
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(std::llround(back->timeIntervalSince1970() * 1000.0), ms) << text;
  }
}

}  // namespace
}  // namespace almanac
