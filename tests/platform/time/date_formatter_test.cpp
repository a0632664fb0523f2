#include "platform/time/date_formatter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "platform/time/support/dates.h"
#include "support/text_mutation.h"

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

namespace platform {
namespace {

// Texts that once ended the process inside the date library, or read as a wrong fraction.
TEST(DateFormatterHostileText, LongFractionsAndLiteralDigitsReadSoundlyOrNotAtAll) {
  const std::string ones35(35, '1');
  const std::string ones40(40, '1');
  const std::string ones1000(1000, '1');
  struct Row {
    const char* what;
    std::string pattern;
    std::string text;
    std::optional<double> seconds;  // after 2000-01-01T00:00:00Z
  };
  const std::vector<Row> rows = {
      {"short fraction", "ss.SSS", "12.123", 12.123},
      {"nine digits", "ss.SSS", "12.123456789", 12.123},
      {"35 digits", "ss.SSS", "12." + ones35, 12.111},
      {"40 digits", "ss.SSS", "12." + ones40, 12.111},
      {"1,000 digits", "ss.SSS", "12." + ones1000, 12.111},
      {"fraction then zone", "ss.SSSZ", "12." + ones40 + "+0000", 12.111},
      {"one S", "ss.S", "12." + ones40, 12.1},
      {"literal digits after the fraction", "ss.SSS'" + std::string(30, '0') + "'", "12.123456789",
       std::nullopt},
      {"abutting fields with a run of 45 digits", "ssd.S3mS",
       std::string(45, '0') + "\x07" + "003:04:05,123456", std::nullopt},
      {"a 1 MiB text", "ss.SSS", "12." + std::string(1 << 20, '1'), std::nullopt},
  };
  for (const Row& row : rows) {
    DateFormatter f;
    pinned(f).setDateFormat(row.pattern);
    for (bool lenient : {false, true}) {
      f.setLenient(lenient);
      auto read = f.date(row.text);
      ASSERT_EQ(read.has_value(), row.seconds.has_value()) << row.what << " lenient " << lenient;
      if (read) {
        EXPECT_NEAR(read->timeIntervalSinceReferenceDate() -
                        at(2000, 1, 1).timeIntervalSinceReferenceDate(),
                    *row.seconds, 1e-6)
            << row.what << " lenient " << lenient;
      }
    }
  }
}

}  // namespace
}  // namespace platform

namespace platform {
namespace {

// Twenty thousand mutated date texts and patterns: none ends the process, and every date read
// is a finite time.
TEST(DateFormatterHostileText, MutatedTextsAndPatternsNeverEndTheProcess) {
  const std::vector<std::string> patterns = {"ss.SSS", "yyyy-MM-dd'T'HH:mm:ss.SSSZ",
                                             "EEE, dd MMM yyyy HH:mm:ss zzz", "HH:mm:ss,SSSSSS"};
  const std::vector<std::string> texts = {"12.123", "2020-01-02T03:04:05.678+0000",
                                          "Thu, 02 Jan 2020 03:04:05 GMT", "03:04:05,123456"};
  DateFormatter f;
  pinned(f);
  for (int round = 0; round < 20'000; ++round) {
    f.setDateFormat(round % 5 == 0 ? testsupport::mutatedText(patterns, "sS.'0yMdHmZ", round)
                                   : patterns[round % patterns.size()]);
    f.setLenient(round % 2 == 1);
    const std::string text = testsupport::mutatedText(texts, "0123456789.,:+-", round + 1);
    if (auto date = f.date(text)) {
      EXPECT_TRUE(std::isfinite(date->timeIntervalSinceReferenceDate())) << text;
    }
  }
}

}  // namespace
}  // namespace platform
