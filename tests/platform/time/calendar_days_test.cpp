#include <gtest/gtest.h>

#include "platform/time/calendar.h"
#include "platform/time/date_components.h"
#include "platform/time/support/dates.h"

namespace platform {
namespace {

using testing_dates::at;
using C = Calendar::Component;

Calendar calendar(const char* zone, const char* locale = "en_US",
                  Calendar::Identifier identifier = Calendar::Identifier::gregorian) {
  Calendar result(identifier);
  result.setTimeZone(testing_dates::zone(zone));
  result.setLocale(Locale(locale));
  return result;
}

TEST(CalendarDays, TellsTodayYesterdayTomorrowAndWeekendsInItsZone) {
  DateClock previous = setDateClock([] { return at(2024, 5, 1, 20); });  // 05:00, 2 May, Tokyo
  Calendar tokyo = calendar("Asia/Tokyo");
  EXPECT_TRUE(tokyo.isDateInToday(at(2024, 5, 1, 15)));
  EXPECT_FALSE(tokyo.isDateInToday(at(2024, 5, 1, 14, 59)));
  EXPECT_TRUE(tokyo.isDateInYesterday(at(2024, 5, 1, 14, 59)));
  EXPECT_FALSE(tokyo.isDateInYesterday(at(2024, 4, 30, 14)));
  EXPECT_TRUE(tokyo.isDateInTomorrow(at(2024, 5, 2, 15)));
  EXPECT_FALSE(tokyo.isDateInTomorrow(at(2024, 5, 3, 15)));

  // The 23-hour day of the change to daylight-saving time in New York.
  setDateClock([] { return at(2024, 3, 11, 3, 30); });
  Calendar newYork = calendar("America/New_York");
  EXPECT_TRUE(newYork.isDateInToday(at(2024, 3, 10, 5)));
  EXPECT_TRUE(newYork.isDateInYesterday(at(2024, 3, 10, 4, 59)));
  EXPECT_TRUE(newYork.isDateInTomorrow(at(2024, 3, 11, 4)));
  setDateClock(previous);

  EXPECT_TRUE(calendar("GMT").isDateInWeekend(at(2024, 5, 5, 23, 59)));
  EXPECT_FALSE(calendar("GMT").isDateInWeekend(at(2024, 5, 6)));
  EXPECT_TRUE(tokyo.isDateInWeekend(at(2024, 5, 3, 16)));  // 01:00 on Saturday in Tokyo
  EXPECT_TRUE(calendar("GMT", "he_IL").isDateInWeekend(at(2024, 5, 3, 12)));   // Friday
  EXPECT_FALSE(calendar("GMT", "he_IL").isDateInWeekend(at(2024, 5, 5, 12)));  // Sunday
}

TEST(CalendarDays, CountsPositionsWithinTheEra) {
  Calendar gregorian = calendar("GMT");
  // Year 1 began on 1 January of the Julian calendar, which the Gregorian calendar follows
  // before 1582: 719,164 days before 1970.
  EXPECT_EQ(gregorian.ordinality(C::day, C::era, at(1970, 1, 1, 23)), 719165);
  EXPECT_EQ(gregorian.ordinality(C::weekdayOrdinal, C::era, at(1970, 1, 1)), 102738);
  EXPECT_EQ(gregorian.ordinality(C::month, C::era, at(1970, 1, 31)), 1969 * 12 + 1);
  auto step = [&](C unit, Date a, Date b) {
    return *gregorian.ordinality(unit, C::era, b) - *gregorian.ordinality(unit, C::era, a);
  };
  EXPECT_EQ(step(C::month, at(2023, 12, 31, 23), at(2024, 1, 1)), 1);
  EXPECT_EQ(step(C::weekOfYear, at(2024, 5, 4, 23), at(2024, 5, 5)), 1);  // Sunday
  EXPECT_EQ(step(C::weekOfYear, at(2024, 5, 5), at(2024, 5, 11, 23)), 0);

  // The present Japanese era began on 1 May 2019, not on the first day of its year 1.
  Calendar japanese = calendar("Asia/Tokyo", "ja_JP", Calendar::Identifier::japanese);
  EXPECT_EQ(japanese.ordinality(C::day, C::era, at(2019, 4, 30, 15)), 1);
  EXPECT_EQ(japanese.ordinality(C::month, C::era, at(2019, 6, 1, 12)), 2);
  EXPECT_EQ(japanese.ordinality(C::day, C::era, at(2019, 4, 30, 12)), 11070);  // Heisei's
}

TEST(CalendarDays, CountsNoEraBetweenDatesOfOneEra) {
  auto span = calendar("GMT").dateComponents({C::era, C::year}, at(2024, 3, 3), at(2020, 3, 1));
  EXPECT_EQ(span.era, 0);
  EXPECT_EQ(span.year, -4);
}

}  // namespace
}  // namespace platform
