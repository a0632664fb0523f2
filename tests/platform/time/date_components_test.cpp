#include "platform/time/date_components.h"

#include <gtest/gtest.h>

#include <limits>

#include "platform/time/support/dates.h"

namespace platform {
namespace {

using C = Calendar::Component;

TEST(DateComponents, ReadsAndWritesByComponent) {
  DateComponents dc;
  dc.setValue(2024, C::year);
  dc.setValue(3, C::quarter);
  dc.setValue(1, C::isLeapMonth);
  EXPECT_EQ(dc.year, 2024);
  EXPECT_EQ(dc.value(C::quarter), 3);
  EXPECT_EQ(dc.isLeapMonth, true);
  EXPECT_FALSE(dc.value(C::month));
  EXPECT_FALSE(dc.value(C::calendar));
  dc.setValue(std::nullopt, C::year);
  EXPECT_FALSE(dc.year);
}

TEST(DateComponents, NamesADateOnlyWithACalendar) {
  DateComponents dc;
  dc.year = 2024;
  dc.month = 3;
  dc.day = 1;
  EXPECT_FALSE(dc.date());
  Calendar calendar(Calendar::Identifier::gregorian);
  calendar.setTimeZone(TimeZone::gmt());
  dc.calendar = calendar;
  EXPECT_EQ(dc.date(), testing_dates::at(2024, 3, 1));
}

TEST(DateComponents, MultipliesWithoutOverflowing) {
  DateComponents dc;
  dc.day = 3;
  dc.hour = -2;
  dc.month = DateComponents::undefined;
  auto tripled = dc.multiplied(3);
  ASSERT_TRUE(tripled);
  EXPECT_EQ(tripled->day, 9);
  EXPECT_EQ(tripled->hour, -6);
  EXPECT_EQ(tripled->month, DateComponents::undefined);

  DateComponents big;
  big.second = std::numeric_limits<std::int64_t>::min();
  EXPECT_FALSE(big.multiplied(-1));
  big.second = std::numeric_limits<std::int64_t>::max() / 2 + 1;
  EXPECT_FALSE(big.multiplied(2));
  EXPECT_TRUE(big.multiplied(1));
}

}  // namespace
}  // namespace platform
