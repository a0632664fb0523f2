#include "almanac/date_representable.h"

#include <gtest/gtest.h>

#include <memory>

#include "almanac/date_in_region.h"
#include "almanac/plain_date.h"
#include "almanac/support/date_fixtures.h"

namespace almanac {
namespace {

using almanac_testing::DefaultRegionGuard;
using almanac_testing::FrozenClock;
using almanac_testing::region;
using platform::Calendar;
using platform::Date;
using testing_dates::at;
using C = Calendar::Component;
using Relative = platform::RelativeDateTimeFormatter;

// Both kinds of date must answer alike: the fixture makes the region of the test the default
// one, in which a plain date is read, and binds the other kind to it.
template <class Kind>
class DateProtocolTest : public ::testing::Test {
 protected:
  void SetUp() override { use(region("GMT")); }
  void use(const Region& r) {
    region_ = r;
    Almanac::setDefaultRegion(r);
  }
  Kind make(Date date) const {
    if constexpr (std::is_same_v<Kind, PlainDate>) {
      return PlainDate(date);
    } else {
      return DateInRegion(date, *region_);
    }
  }

  testing_dates::PinnedSettings pinned_{"en_US", "America/New_York"};
  DefaultRegionGuard guard_;
  std::optional<Region> region_;
};

using Kinds = ::testing::Types<PlainDate, DateInRegion>;
TYPED_TEST_SUITE(DateProtocolTest, Kinds);

TYPED_TEST(DateProtocolTest, ReadsTheEpochInTheRegionsZone) {
  auto epoch = this->make(Date::fromTimeIntervalSince1970(0));
  EXPECT_EQ(epoch.era(), 1);
  EXPECT_EQ(epoch.year(), 1970);
  EXPECT_EQ(epoch.month(), 1);
  EXPECT_EQ(epoch.day(), 1);
  EXPECT_EQ(epoch.hour(), 0);
  EXPECT_EQ(epoch.weekday(), 5);  // Thursday
  EXPECT_EQ(epoch.dayNumberInYear(), 1);
  EXPECT_EQ(epoch.quarter(), 1);
  EXPECT_EQ(epoch.daysInMonth(), 31);
  EXPECT_EQ(epoch.millisecondsInDay(), 0);  // the first second of the day, not 1000
  auto parts = epoch.allComponents();
  EXPECT_EQ(parts.weekOfYear, 1);
  EXPECT_EQ(parts.timeZone->identifier(), "GMT");
  EXPECT_TRUE(parts.era && parts.nanosecond && parts.quarter && parts.calendar);

  this->use(almanac_testing::fixedOffsetRegion(-5 * 3600));
  auto west = this->make(Date::fromTimeIntervalSince1970(0));
  EXPECT_EQ(west.year(), 1969);
  EXPECT_EQ(west.month(), 12);
  EXPECT_EQ(west.day(), 31);
  EXPECT_EQ(west.hour(), 19);
  EXPECT_EQ(west.millisecondsInDay(), 19 * 3600 * 1000);
}

TYPED_TEST(DateProtocolTest, DerivesDayNumbersFromTheCalendar) {
  EXPECT_EQ(this->make(at(2024, 5, 1, 12, 0, 1.75)).millisecondsInDay(), 43201000);
  EXPECT_EQ(this->make(at(2024, 5, 1, 23, 59, 59.9)).millisecondsInDay(), 86399000);
  EXPECT_EQ(this->make(at(2024, 5, 1, 10, 29, 59)).roundedHour(), 10);
  EXPECT_EQ(this->make(at(2024, 5, 1, 10, 30)).roundedHour(), 11);
  EXPECT_EQ(this->make(at(2024, 5, 1, 23, 45)).roundedHour(), 0);
  EXPECT_EQ(this->make(at(2024, 2, 10)).daysInMonth(), 29);
  EXPECT_EQ(this->make(at(2023, 2, 10)).daysInMonth(), 28);
  EXPECT_EQ(this->make(at(2024, 12, 31)).dayNumberInYear(), 366);

  // Wednesday 1 May 2024 lies in the week of 28 April to 4 May when weeks start on Sunday, and
  // of 29 April to 5 May when they start on Monday.
  EXPECT_EQ(this->make(at(2024, 5, 1, 15)).weekStartDay(), 28);
  EXPECT_EQ(this->make(at(2024, 5, 1, 15)).weekEndDay(), 4);
  this->use(region("GMT", "de_DE"));
  EXPECT_EQ(this->make(at(2024, 5, 1, 15)).weekStartDay(), 29);
  EXPECT_EQ(this->make(at(2024, 5, 1, 15)).weekEndDay(), 5);
  EXPECT_EQ(this->make(at(2025, 1, 1, 9)).weekStartDay(), 30);
}

TYPED_TEST(DateProtocolTest, SplitsTheCalendarsOwnMonthsIntoFourQuarters) {
  EXPECT_EQ(this->make(at(2024, 3, 31)).quarter(), 1);
  EXPECT_EQ(this->make(at(2024, 4, 1)).quarter(), 2);
  EXPECT_EQ(this->make(at(2024, 12, 31)).quarter(), 4);
  // The thirteenth months of the Hebrew (Elul) and Coptic years are in the fourth quarter.
  for (auto [calendar, date] : {std::pair{Calendar::Identifier::hebrew, at(2024, 9, 15, 12)},
                                std::pair{Calendar::Identifier::coptic, at(2024, 9, 8, 12)}}) {
    this->use(region("GMT", "en_US", calendar));
    EXPECT_EQ(this->make(date).month(), 13);
    EXPECT_EQ(this->make(date).quarter(), 4);
  }
}

TYPED_TEST(DateProtocolTest, TellsTheDateAgainstNowInTheRegionsDays) {
  FrozenClock clock(at(2024, 5, 1, 20));  // already 05:00 on 2 May in Tokyo
  this->use(region("Asia/Tokyo"));
  EXPECT_TRUE(this->make(at(2024, 5, 1, 23)).fallsInToday());
  EXPECT_TRUE(this->make(at(2024, 5, 1, 14)).fallsInYesterday());
  EXPECT_TRUE(this->make(at(2024, 5, 2, 15)).fallsInTomorrow());
  EXPECT_FALSE(this->make(at(2024, 5, 2, 14, 59)).fallsInTomorrow());
  EXPECT_FALSE(this->make(at(2024, 5, 1, 20)).fallsBeforeNow());
  EXPECT_FALSE(this->make(at(2024, 5, 1, 20)).fallsAfterNow());
  EXPECT_TRUE(this->make(at(2024, 5, 1, 19, 59, 59.5)).fallsBeforeNow());
  EXPECT_TRUE(this->make(at(2024, 5, 1, 20, 0, 0.5)).fallsAfterNow());
  EXPECT_TRUE(this->make(at(2024, 5, 3, 16)).fallsInWeekend());  // Saturday in Tokyo

  this->use(region("Asia/Jerusalem", "he_IL"));
  EXPECT_TRUE(this->make(at(2024, 5, 3, 9)).fallsInWeekend());  // Friday
  EXPECT_FALSE(this->make(at(2024, 5, 5, 9)).fallsInWeekend());
  this->use(region("America/New_York"));
  EXPECT_EQ(this->make(at(2024, 7, 1, 12)).daylightSavingOffset(), 3600);
  EXPECT_EQ(this->make(at(2024, 1, 15, 12)).daylightSavingOffset(), 0);
}

TYPED_TEST(DateProtocolTest, MeasuresDifferencesInItsOwnCalendar) {
  auto start = this->make(at(2024, 1, 31));
  auto end = this->make(at(2024, 3, 1));
  EXPECT_EQ(start.componentDifference(C::day, end), 30);
  EXPECT_EQ(end.componentDifference(C::day, start), -30);
  EXPECT_EQ(start.difference(C::day, DateInRegion(at(2024, 3, 1), region("Asia/Tokyo"))), 30);
  EXPECT_FALSE(start.componentDifference(C::calendar, end));

  auto differences = start.componentDifferences({C::era, C::day}, end);
  EXPECT_EQ(differences, (std::map<C, std::int64_t>{{C::day, 30}}));
  differences =
      start.componentDifferences({C::month, C::hour, C::timeZone}, this->make(at(2024, 3, 2, 5)));
  EXPECT_EQ(differences, (std::map<C, std::int64_t>{{C::month, 1}, {C::hour, 53}}));
}

TYPED_TEST(DateProtocolTest, ConfiguresTheFormatterItHandsOut) {
  this->use(region("Asia/Tokyo"));
  auto date = this->make(at(2024, 5, 1, 12));
  auto shared = date.sharedFormatter();
  EXPECT_EQ(shared->string(date.date()), "2024-05-01T21:00:00+09:00");
  EXPECT_EQ(date.formatter(std::string("HH:mm")), shared);
  EXPECT_EQ(shared->string(date.date()), "21:00");
  EXPECT_EQ(date.formatter()->dateFormat(), "yyyy-MM-dd'T'HH:mm:ssZZZZZ");

  // An attached formatter keeps its own pattern and zone unless asked otherwise.
  auto own = std::make_shared<platform::DateFormatter>();
  own->setDateFormat("dd.MM HH:mm");
  own->setTimeZone(testing_dates::zone("Europe/Paris"));
  date.setCustomFormatter(own);
  EXPECT_EQ(date.formatter(), own);
  EXPECT_EQ(own->string(date.date()), "01.05 14:00");
  // Brought into the region first, so that the step has the last word.
  std::string zoneSeen;
  date.regionFormatter(std::string("HH:mm"), [&](platform::DateFormatter& f) {
    zoneSeen = f.timeZone().identifier();
    f.setLocale(platform::Locale("fr_FR"));
  });
  EXPECT_EQ(zoneSeen, "Asia/Tokyo");
  EXPECT_EQ(own->string(date.date()), "21:00");
  EXPECT_EQ(own->locale().identifier(), "fr_FR");

  DateInRegion moved = date.inRegion(region("Europe/Paris"));
  EXPECT_EQ(moved.hour(), 14);
  EXPECT_FALSE(moved.customFormatter());
  std::weak_ptr<platform::DateFormatter> watch = own;
  own.reset();
  date.setCustomFormatter(nullptr);
  EXPECT_TRUE(watch.expired());
}

TYPED_TEST(DateProtocolTest, WritesRelativeTextAgainstADateOrNow) {
  auto date = this->make(at(2024, 5, 3, 12));
  DateInRegion since(at(2024, 5, 1, 12), region("GMT"));
  EXPECT_EQ(date.relativeText(since, Relative::DateTimeStyle::numeric, Relative::UnitsStyle::full),
            "in 2 days");
  FrozenClock clock(at(2024, 5, 4, 12));
  EXPECT_EQ(
      date.relativeText(std::nullopt, Relative::DateTimeStyle::named, Relative::UnitsStyle::full),
      "yesterday");
}

TEST(PlainDate, FollowsTheDefaultRegionAndKeepsItsAttachedFormatter) {
  DefaultRegionGuard guard;
  PlainDate noon(at(2024, 5, 1, 12));
  Almanac::setDefaultRegion(region("Asia/Tokyo"));
  EXPECT_EQ(noon.hour(), 21);
  Almanac::setDefaultRegion(region("GMT"));
  EXPECT_EQ(noon.hour(), 12);
  EXPECT_EQ(Date(noon), at(2024, 5, 1, 12));

  auto formatter = std::make_shared<platform::DateFormatter>();
  noon.setCustomFormatter(formatter);
  PlainDate copy = noon;
  copy.setCustomFormatter(nullptr);
  EXPECT_EQ(noon.customFormatter(), formatter);
  EXPECT_FALSE(copy.customFormatter());
}

}  // namespace
}  // namespace almanac
