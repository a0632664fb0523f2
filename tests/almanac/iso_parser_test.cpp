#include "almanac/iso_parser.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::FrozenClock;
using platform::Date;
using testing_dates::at;

// The clock stands at 2026-03-15T20:00Z, which is already 16 March in Tokyo, the system zone:
// "today" must come from the system zone, not from UTC.
class ISOParserTest : public ::testing::Test {
 protected:
  testing_dates::PinnedSettings pinned_{"en_US", "Asia/Tokyo"};
  FrozenClock clock_{at(2026, 3, 15, 20)};
};

struct Row {
  const char* text;
  std::optional<Date> lenient;  // expected without `strict`; nullopt: no result
  std::optional<Date> strict;   // expected with `strict`
};

const std::optional<Date> none;

std::optional<Date> read(const std::string& text, bool strict) {
  auto parser = ISOParser::make(text, ISOParser::Options(strict));
  if (!parser) return std::nullopt;
  return parser->parsedDate();
}

std::vector<Row> rows() {
  return {
      // Calendar dates, extended and basic, with times and zones.
      {"2020-01-02T03:04:05Z", at(2020, 1, 2, 3, 4, 5), at(2020, 1, 2, 3, 4, 5)},
      {"2020-01-02T03:04:05.678+01:30", at(2020, 1, 2, 3, 4, 5.678, 5400),
       at(2020, 1, 2, 3, 4, 5.678, 5400)},
      {"20200102T030405Z", at(2020, 1, 2, 3, 4, 5), at(2020, 1, 2, 3, 4, 5)},
      {"20200102T030405+0100", at(2020, 1, 2, 3, 4, 5, 3600), at(2020, 1, 2, 3, 4, 5, 3600)},
      {"20200102T030405+01:00", at(2020, 1, 2, 3, 4, 5, 3600), at(2020, 1, 2, 3, 4, 5, 3600)},
      {"2020-01-02T0304", at(2020, 1, 2, 3, 4), at(2020, 1, 2, 3, 4)},
      {"T0304", at(2026, 3, 16, 3, 4), at(2026, 3, 16, 3, 4)},
      {"2020-01-02", at(2020, 1, 2), at(2020, 1, 2)},
      {"2020-01-02+05:00", at(2020, 1, 2), none},  // a zone only after a time
      {"2020-01-02T03:04:05", at(2020, 1, 2, 3, 4, 5), at(2020, 1, 2, 3, 4, 5)},
      {"2020-01", at(2020, 1, 1), at(2020, 1, 1)},
      {"2020", at(2020, 1, 1), at(2020, 1, 1)},
      {"200102", at(2020, 1, 2), at(2020, 1, 2)},
      {"20-01-02", at(2020, 1, 2), at(2020, 1, 2)},
      {"-20-01-02", at(2020, 1, 2), at(2020, 1, 2)},
      {"-20-00-00", at(2020, 1, 1), at(2020, 1, 1)},  // month and day 0 become 1 here
      {"-20", at(2020, 1, 1), at(2020, 1, 1)},
      {"-2012", at(2020, 12, 1), at(2020, 12, 1)},  // the current century, as "-20"
      {"--12-25", at(2026, 12, 25), at(2026, 12, 25)},
      {"--1225", at(2026, 12, 25), at(2026, 12, 25)},
      {"---25", at(2026, 3, 25), at(2026, 3, 25)},
      {"---31", at(2026, 3, 31), at(2026, 3, 31)},
      // Ordinal dates.
      {"2020-045", at(2020, 2, 14), at(2020, 2, 14)},
      {"2020045", at(2020, 2, 14), at(2020, 2, 14)},
      {"20045", at(2020, 2, 14), at(2020, 2, 14)},
      {"-045", at(2026, 2, 14), at(2026, 2, 14)},
      {"2020-366", at(2020, 12, 31), at(2020, 12, 31)},
      {"2019-366", at(2020, 1, 1), none},
      {"2020-367", none, none},
      {"2020-000", none, none},
      // Week dates; a week without a weekday is its Monday.
      {"2020-W01-1", at(2019, 12, 30), at(2019, 12, 30)},
      {"2021-W01-1", at(2021, 1, 4), at(2021, 1, 4)},
      {"2021-W52-7", at(2022, 1, 2), at(2022, 1, 2)},
      {"2020-W01", at(2019, 12, 30), at(2019, 12, 30)},
      {"2020W014", at(2020, 1, 2), at(2020, 1, 2)},
      {"20-W01-1", at(2019, 12, 30), at(2019, 12, 30)},
      {"-20-W01-1", at(2019, 12, 30), at(2019, 12, 30)},
      {"-W05-3", at(2026, 1, 28), at(2026, 1, 28)},
      {"-W-3", at(2025, 12, 31), none},
      {"2020-W53", at(2020, 12, 28), at(2020, 12, 28)},
      {"2021-W53", at(2022, 1, 3), none},  // 2021 has 52 weeks
      {"2020-W54", none, none},
      {"2020-W00", none, none},
      {"2020-W01-8", none, none},
      {"2020-W01-0", none, none},
      // Reduced precision and times of day.
      {"20", at(2026, 1, 1), at(2026, 1, 1)},
      {"03:04", at(2026, 3, 16, 3, 4), at(2026, 3, 16, 3, 4)},
      {"T03:04", at(2026, 3, 16, 3, 4), at(2026, 3, 16, 3, 4)},
      {"03:04-05:00", at(2026, 3, 16, 3, 4, 0, -18000), at(2026, 3, 16, 3, 4, 0, -18000)},
      {"03:04+05:00", at(2026, 3, 16, 3, 4, 0, 18000), at(2026, 3, 16, 3, 4, 0, 18000)},
      {"-5", at(2025, 1, 1), none},  // one digit: the decade
      // Fractions, carried to the millisecond.
      {"10:30.5Z", at(2026, 3, 16, 10, 30, 30), at(2026, 3, 16, 10, 30, 30)},
      {"2020-01-02T10.5+05:00", at(2020, 1, 2, 10, 30, 0, 18000), at(2020, 1, 2, 10, 30, 0, 18000)},
      {"2020-01-02T10:30.01", at(2020, 1, 2, 10, 30, 0.6), at(2020, 1, 2, 10, 30, 0.6)},
      {"2020-01-02T10:30:00,25Z", at(2020, 1, 2, 10, 30, 0.25), at(2020, 1, 2, 10, 30, 0.25)},
      {"2020-01-02T10:00:00.9996Z", at(2020, 1, 2, 10, 0, 1), at(2020, 1, 2, 10, 0, 1)},
      {"2020-01-02T03:04:05.123456789012345678901234567890Z", at(2020, 1, 2, 3, 4, 5.123),
       at(2020, 1, 2, 3, 4, 5.123)},
      {"2020-01-02T10:30.5:20", none, none},
      {"2020-01-02T05.", none, none},
      // Fields out of range are refused, never wrapped.
      {"2019-02-29", none, none},
      {"2020-02-29", at(2020, 2, 29), at(2020, 2, 29)},
      {"2020-04-31", none, none},
      {"2020-13-01", none, none},
      {"2020-00-10", none, none},
      {"2020-01-02T25:00", none, none},
      {"2020-01-02T10:60", none, none},
      {"2020-01-02T10:00:61", none, none},
      {"2020-01-02T23:59:60Z", at(2020, 1, 3), at(2020, 1, 3)},  // a leap second
      {"2020-01-02T24:00", at(2020, 1, 3), at(2020, 1, 3)},
      {"2020-01-02T24:00:01", none, none},
      {"2020-01-02T03:04+25:00", none, none},
      {"2020-01-02T03:04+05:60", none, none},
      {"2020-01-02T03:04+18:00", at(2020, 1, 2, 3, 4, 0, 64800), at(2020, 1, 2, 3, 4, 0, 64800)},
      // Digit counts.
      {"123456789", none, none},
      {"-12345", none, none},
      {"---2", at(2026, 3, 2), none},
      // Whitespace and trailing text.
      {"  2020-01-02T03:04:05Z \n", at(2020, 1, 2, 3, 4, 5), at(2020, 1, 2, 3, 4, 5)},
      {"2020-01-02T03:04:05Z and more", at(2020, 1, 2, 3, 4, 5), none},
      {"2020-01-02T03:04:05 +01:00", at(2020, 1, 2, 3, 4, 5, 3600), none},
      {"2020-01-02 03:04:05Z", at(2020, 1, 2, 3, 4, 5), at(2020, 1, 2, 3, 4, 5)},
      // Nothing to read.
      {"", none, none},
      {"   ", none, none},
      {"-", none, none},
      {"--", none, none},
      {"---", none, none},
      {"T", none, none},
      {"W", none, none},
      {"2020-01-02\xff", none, none},
      {"\xc0\xb2\xc0\xb0", none, none},  // overlong "20"
  };
}

TEST_F(ISOParserTest, ReadsEveryFormAndRefusesWhatNamesNoDate) {
  for (const Row& row : rows()) {
    for (bool strict : {false, true}) {
      SCOPED_TRACE(std::string(row.text) + (strict ? " (strict)" : ""));
      auto expected = strict ? row.strict : row.lenient;
      auto got = read(row.text, strict);
      ASSERT_EQ(got.has_value(), expected.has_value());
      if (expected) {
        EXPECT_NEAR(got->timeIntervalSince1970(), expected->timeIntervalSince1970(), 1e-6);
      }
    }
  }
}

TEST(ISOParserMonthTest, ADayBeyondTheCurrentMonthIsRefused) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  FrozenClock clock(at(2026, 4, 10, 12));
  EXPECT_FALSE(read("---31", false));
  EXPECT_EQ(read("---30", false), at(2026, 4, 30));
}

TEST_F(ISOParserTest, KeepsTheZoneAndTheMillisecondsItRead) {
  auto parser = ISOParser::make("2020-01-02T03:04:05.678+01:30");
  ASSERT_TRUE(parser);
  ASSERT_TRUE(parser->date_components());
  EXPECT_EQ(parser->date_components()->nanosecond, 678'000'000);
  ASSERT_TRUE(parser->parsedTimeZone());
  EXPECT_EQ(parser->parsedTimeZone()->secondsFromGMT(*parser->parsedDate()), 5400);

  auto utc = ISOParser::instantAndZone("2020-01-02T03:04:05");
  ASSERT_TRUE(utc);
  EXPECT_EQ(utc->second.secondsFromGMT(utc->first), 0);
}

TEST_F(ISOParserTest, ARegionShowsTheResultButTheTextNamesTheInstant) {
  auto region = almanac_testing::region("America/New_York");
  auto shown = ISOParser::parse("2020-01-02T03:04:05", region, {});
  ASSERT_TRUE(shown);
  EXPECT_EQ(shown->date(), at(2020, 1, 2, 3, 4, 5));
  EXPECT_EQ(shown->region(), region);

  auto own = ISOParser::parse("2020-01-02T03:04:05+05:30", std::nullopt, std::string("ignored"));
  ASSERT_TRUE(own);
  EXPECT_EQ(own->region().timeZone().secondsFromGMT(own->date()), 19800);
  EXPECT_EQ(own->region().locale().identifier(), "en_US_POSIX");
}

TEST_F(ISOParserTest, TheTimeSeparatorCanBeReplacedButNotByAFieldCharacter) {
  struct Case {
    char32_t separator;
    const char* text;
    std::optional<Date> expected;
  };
  const Case cases[] = {
      {U'.', "2020-01-02T03.04.05Z", at(2020, 1, 2, 3, 4, 5)},
      {U'h', "2020-01-02T03h04h05+01h00", at(2020, 1, 2, 3, 4, 5, 3600)},
      {U'5', "2020-01-02T03504", none},
      {U'+', "2020-01-02T03+04", none},
      {U'-', "2020-01-02T03-04", none},
      {U'T', "2020-01-02T03T04", none},
      {U'W', "2020-01-02T03W04", none},
      {U'Z', "2020-01-02T03Z04", none},
      {U' ', "2020-01-02T03 04", none},
      {U'\u00A0', "2020-01-02T03\u00A004", none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto parser = ISOParser::make(c.text, ISOParser::Options(c.separator, false));
    ASSERT_EQ(parser.has_value(), c.expected.has_value());
    if (c.expected) {
      EXPECT_EQ(*parser->parsedDate(), *c.expected);
    }
  }
}

// Under the sanitizers: damaged and oversized texts end in a result or none, never in a crash,
// an endless loop or undefined behaviour.
TEST_F(ISOParserTest, DamagedAndHugeTextsEndInAResultOrNone) {
  const std::string replacements = "0-T:WZ+ .,9";
  std::size_t results = 0;
  for (const Row& row : rows()) {
    std::string text = row.text;
    for (bool strict : {false, true}) {
      for (std::size_t n = 0; n <= text.size(); ++n)
        results += read(text.substr(0, n), strict) ? 1 : 0;
      for (std::size_t i = 0; i < text.size(); ++i) {
        results += read(text.substr(0, i) + text.substr(i + 1), strict) ? 1 : 0;
        for (char c : replacements) {
          std::string changed = text;
          changed[i] = c;
          results += read(changed, strict) ? 1 : 0;
        }
      }
    }
  }
  EXPECT_GT(results, 0u);

  const std::string sevens(10'000, '7');
  const std::string nines(10'000, '9');
  struct Huge {
    std::string text;
    std::optional<Date> expected;
  };
  const Huge huge[] = {
      {sevens, none},
      {"-" + sevens, none},
      {"2020-" + sevens, none},
      {"2020-01-" + sevens, none},
      {"2020-W" + sevens, none},
      {"2020-01-02T" + sevens, none},
      {"2020-01-02T03:" + sevens, none},
      {"2020-01-02T03:04:" + sevens, none},
      {"2020-01-02T03:04:05+" + sevens, none},
      {"2020-01-02T03:04:" + std::string(400, '9') + ".5Z", none},
      {std::string(1 << 20, '-'), none},
      {std::string(1 << 20, '-') + "W", none},
      // A fraction of any length is rounded to the millisecond.
      {"2020-01-02T03:04:05." + sevens, at(2020, 1, 2, 3, 4, 5.778)},
      {"2020-01-02T03:04:05." + nines + "Z", at(2020, 1, 2, 3, 4, 6)},
      {"2020-01-02T03:04:05." + std::string(400, '0') + "1Z", at(2020, 1, 2, 3, 4, 5)},
  };
  for (const Huge& h : huge) {
    for (bool strict : {false, true}) {
      SCOPED_TRACE(h.text.substr(0, 24));
      auto got = read(h.text, strict);
      ASSERT_EQ(got.has_value(), h.expected.has_value());
      if (got) {
        EXPECT_NEAR(got->timeIntervalSince1970(), h.expected->timeIntervalSince1970(), 1e-6);
      }
    }
  }
}

}  // namespace
}  // namespace almanac
