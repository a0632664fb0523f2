#include "almanac/iso_formatter.h"

#include <gtest/gtest.h>

#include <any>
#include <string>

#include "almanac/date_in_region.h"
#include "almanac/date_parsable.h"
#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::region;
using platform::Calendar;
using platform::Date;
using testing_dates::at;
using O = ISOFormatter::Options;

TEST(ISOFormatterOptionsTest, BehaveAsASetOfBits) {
  O ymd{O::year, O::month, O::day};
  EXPECT_EQ(ymd.rawValue, 11);
  EXPECT_TRUE(ymd.contains(O::month));
  EXPECT_FALSE(ymd.contains(O::time));
  EXPECT_EQ((ymd | O::time).rawValue, 27);
  EXPECT_EQ((ymd & O{O::day, O::time}), O::day);
  EXPECT_EQ((ymd ^ O{O::day, O::time}), (O{O::year, O::month, O::time}));
  EXPECT_TRUE(O::year.isSubset(ymd));
  EXPECT_TRUE(ymd.isSuperset(O{O::year, O::day}));
  EXPECT_FALSE(ymd.isSubset(O::year));
  O changed = ymd;
  changed.remove(O::month);
  changed.insert(O::timeZone);
  EXPECT_EQ(changed, (O{O::year, O::day, O::timeZone}));
  EXPECT_TRUE(O().isEmpty());
}

TEST(ISOFormatterTest, BuildsThePatternOfTheOptions) {
  struct Case {
    O options;
    const char* pattern;
  };
  const Case cases[] = {
      {O(), ""},
      {O::year, ""},
      {O::month, ""},
      {O{O::year, O::month, O::day}, "yyyyMMdd"},
      {O{O::year, O::month, O::day, O::dashBeforeWeekOrOrdinal}, "yyyyMMdd"},
      {O{O::year, O::weekOfYear}, "YYYY'W'ww"},
      {O{O::year, O::weekOfYear, O::dashBeforeWeekOrOrdinal}, "YYYY-'W'ww"},
      {O{O::year, O::weekOfYear, O::day}, "YYYY'W'wwe"},
      {O{O::year, O::day}, "yyyyDDD"},
      {O{O::year, O::day, O::dashBeforeWeekOrOrdinal}, "yyyy-DDD"},
      {O{O::fullDate, O::time, O::timeZone}, "yyyy-MM-dd'T'HH:mm:ssZZZZZ"},
      {O{O::fullDate, O::time, O::timeZone, O::spaceBetweenDateAndTime},
       "yyyy-MM-dd HH:mm:ssZZZZZ"},
      {O{O::fullDate, O::fullTimeWithZone}, "yyyy-MM-dd'T'HH:mm:ssZZZZZ"},
      {O::timeZone, "ZZZZZ"},
      {O::time, "HH:mm:ss"},
      {O::dateTimeSeconds, "yyyy-MM-dd'T'HH:mm:ssZZZZZ"},
      {O::dateTimeMillis, "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ"},
      {O{O::dateTimeMillis, O::year, O::weekOfYear, O::spaceBetweenDateAndTime},
       "yyyy-MM-dd'T'HH:mm:ss.SSSZZZZZ"},
      {O{O::dateTimeMillis, O::dateTimeMillisBasicZone}, "yyyy-MM-dd'T'HH:mm:ss.SSSZZZ"},
      {O::dateTimeMillisBasicZone, "yyyy-MM-dd'T'HH:mm:ss.SSSZZZ"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options.rawValue);
    EXPECT_EQ(ISOFormatter::pattern(c.options), c.pattern);
  }
}

TEST(ISOFormatterTest, WritesTheEpochAlikeInEveryRegion) {
  testing_dates::PinnedSettings pinned("en_US", "America/New_York");
  const Region regions[] = {
      region("GMT", "en_US_POSIX"),
      region("GMT", "ar_EG", Calendar::Identifier::hebrew),
      region("GMT", "ja_JP", Calendar::Identifier::japanese),
      region("GMT", "th_TH", Calendar::Identifier::buddhist),
  };
  for (const Region& r : regions) {
    SCOPED_TRACE(r.description());
    DateInRegion epoch(Date::fromTimeIntervalSince1970(0), r);
    EXPECT_EQ(epoch.isoText(), "1970-01-01T00:00:00Z");
    EXPECT_EQ(ISOFormatter::format(epoch, {}), "1970-01-01T00:00:00Z");
    EXPECT_EQ(ISOFormatter::format(epoch, std::any(42)), "1970-01-01T00:00:00Z");
  }
  EXPECT_EQ(
      ISOFormatter::format(PlainDate(Date::fromTimeIntervalSince1970(0)), std::any()),
      ISOFormatter::format(
          DateInRegion(Date::fromTimeIntervalSince1970(0), Almanac::defaultRegion()), std::any()));
}

TEST(ISOFormatterTest, WritesISOWeekNumbers) {
  struct Case {
    Date date;
    O options;
    const char* text;
  };
  const Region gmt = region("GMT", "en_US");
  const Case cases[] = {
      {at(2021, 1, 1), O{O::year, O::weekOfYear}, "2020W53"},
      {at(2020, 1, 2), O{O::year, O::weekOfYear, O::day}, "2020W014"},
      {at(2020, 1, 5), O{O::year, O::weekOfYear, O::day}, "2020W017"},
      {at(2019, 12, 30), O{O::year, O::weekOfYear, O::dashBeforeWeekOrOrdinal}, "2020-W01"},
      {at(2020, 2, 14), O{O::year, O::day, O::dashBeforeWeekOrOrdinal}, "2020-045"},
      {at(2020, 2, 14, 3, 4, 5.678), O::dateTimeMillis, "2020-02-14T03:04:05.678Z"},
      {at(2020, 2, 14, 3, 4, 5), O{O::fullDate, O::fullTimeWithZone}, "2020-02-14T03:04:05Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DateInRegion(c.date, gmt).isoText(c.options), c.text);
  }
  DateInRegion kolkata(at(2020, 2, 14, 3, 4, 5.678), region("Asia/Kolkata"));
  EXPECT_EQ(kolkata.isoText(O::dateTimeMillisBasicZone), "2020-02-14T08:34:05.678+0530");
  EXPECT_EQ(kolkata.isoText(O::dateTimeMillis), "2020-02-14T08:34:05.678+05:30");
}

// Every text the writer makes is read back by the reader to the same instant, or for week and
// ordinal texts to the same day (a week without a weekday: its Monday).
TEST(ISOFormatterTest, TheReaderReadsBackWhatTheWriterWrites) {
  testing_dates::PinnedSettings pinned("en_US", "UTC");
  const O wholeInstants[] = {
      O::dateTimeSeconds,
      O{O::fullDate, O::fullTimeWithZone},
      O{O::fullDate, O::time, O::timeZone},
      O{O::fullDate, O::time, O::timeZone, O::spaceBetweenDateAndTime},
      O{O::year, O::month, O::day, O::time, O::timeZone},
      O{O::year, O::weekOfYear, O::day, O::time, O::timeZone},
      O{O::year, O::day, O::dashBeforeWeekOrOrdinal, O::time, O::timeZone},
  };
  const Region regions[] = {region("GMT"), region("Asia/Kathmandu"), region("America/St_Johns")};
  // Every day of two years around a 53-week year, at an odd time of day.
  for (int day = 0; day < 731; day += 1) {
    Date date = Date::fromTimeIntervalSince1970(at(2020, 1, 1).timeIntervalSince1970() +
                                                day * 86400.0 + 3 * 3600 + 25 * 60 + 7);
    for (const Region& r : regions) {
      DateInRegion d(date, r);
      for (O o : wholeInstants) {
        std::string text = d.isoText(o);
        auto back = toISODate(text);
        ASSERT_TRUE(back) << text;
        ASSERT_EQ(back->date(), date) << text;
      }
    }
    DateInRegion gmt(date, region("GMT"));
    std::string monday = gmt.isoText(O{O::year, O::weekOfYear, O::dashBeforeWeekOrOrdinal});
    auto week = toISODate(monday);
    ASSERT_TRUE(week) << monday;
    std::int64_t weekday = (gmt.weekday() + 5) % 7;  // days since Monday
    EXPECT_EQ(week->date().timeIntervalSince1970(),
              at(2020, 1, 1).timeIntervalSince1970() + (day - weekday) * 86400.0)
        << monday;
  }
}

// Before 15 October 1582 the calendar is Julian; writer and reader still agree with each other.
TEST(ISOFormatterTest, WriterAndReaderAgreeBeforeTheGregorianReform) {
  const char* texts[] = {"1000-01-01T00:00:00Z", "1582-10-04T23:59:59Z", "1582-10-15T00:00:00Z",
                         "1583-01-01T12:00:00Z"};
  for (const char* text : texts) {
    auto read = toISODate(text);
    ASSERT_TRUE(read) << text;
    EXPECT_EQ(DateInRegion(read->date(), region("GMT")).isoText(), text);
  }
  // Ten days vanished at the reform.
  EXPECT_EQ(toISODate("1582-10-15T00:00:00Z")->timeIntervalSince1970() -
                toISODate("1582-10-04T00:00:00Z")->timeIntervalSince1970(),
            86400.0);
}

}  // namespace
}  // namespace almanac
